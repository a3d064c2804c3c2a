#include "tools/proxy-state/ProxyReport.h"

#include <cmath>
#include <cstdio>

namespace halyx {

namespace {

using nlohmann::ordered_json;

// Hands a created or copied handle back to its source when the scope ends, so
// that an exception (allocation failure while copying values) leaks nothing.
// Declaring guards in acquisition order releases in the reverse order.
template <class Handle> class SourceHandle {
public:
    SourceHandle(NetworkSource &source, Handle *handle) : m_source(source), m_handle(handle) {}
    ~SourceHandle() {
        if (m_handle) {
            m_source.release(m_handle);
        }
    }
    SourceHandle(const SourceHandle &) = delete;
    SourceHandle &operator=(const SourceHandle &) = delete;

    Handle *get() const { return m_handle; }

private:
    NetworkSource &m_source;
    Handle *m_handle;
};

// The service's record, or null when the service is left out (disabled, no
// proxies protocol, or no name or no identifier).
ordered_json serviceRecord(NetworkSource &source, SourceService *service) {
    if (!source.serviceEnabled(service)) {
        return nullptr;
    }
    SourceHandle<SourceProtocol> protocol(source, source.copyProxiesProtocol(service));
    if (!protocol.get()) {
        return nullptr;
    }
    SourceConfiguration *configuration = source.protocolConfiguration(protocol.get());

    ordered_json config = ordered_json::object();
    if (configuration) {
        for (const char *key : kProxyKeys) {
            ordered_json value;
            if (source.configurationValue(configuration, key, &value)) {
                config[key] = std::move(value);
            }
        }
    }

    std::optional<std::string> name = source.serviceName(service);
    std::optional<std::string> identifier = source.serviceIdentifier(service);
    if (!name || !identifier) {
        return nullptr;
    }
    ordered_json record = ordered_json::object();
    record["Id"] = std::move(*identifier);
    record["Name"] = std::move(*name);
    record["Config"] = std::move(config);
    return record;
}

void appendFoundation(const ordered_json &value, std::string &out);

void appendFoundationString(const std::string &text, std::string &out) {
    // The portable escaping (which also checks the UTF-8) plus "\/". A "/"
    // byte in the escaped text can only be the character itself: UTF-8
    // continuation bytes are 0x80 and above, and no escape contains "/".
    for (char c : ordered_json(text).dump()) {
        if (c == '/') {
            out += '\\';
        }
        out += c;
    }
}

void appendFoundation(const ordered_json &value, std::string &out) {
    switch (value.type()) {
    case ordered_json::value_t::object: {
        out += '{';
        bool first = true;
        for (const auto &member : value.items()) {
            if (!first) {
                out += ',';
            }
            first = false;
            appendFoundationString(member.key(), out);
            out += ':';
            appendFoundation(member.value(), out);
        }
        out += '}';
        break;
    }
    case ordered_json::value_t::array: {
        out += '[';
        bool first = true;
        for (const ordered_json &item : value) {
            if (!first) {
                out += ',';
            }
            first = false;
            appendFoundation(item, out);
        }
        out += ']';
        break;
    }
    case ordered_json::value_t::string:
        appendFoundationString(value.get_ref<const std::string &>(), out);
        break;
    case ordered_json::value_t::number_float: {
        // A whole number below 1e17 as its digits (up to 17 significant
        // digits, the precision the platform formats doubles with, the
        // digits are exact); anything else as the shortest text that reads
        // back as the same double (0.1, 1.5e-07, 1e+20).
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 1e17) {
            char digits[32];
            std::snprintf(digits, sizeof digits, "%.0f", number);
            out += digits;
        } else {
            out += value.dump();
        }
        break;
    }
    default: // null, booleans, integers: spelled alike
        out += value.dump();
        break;
    }
}

} // namespace

std::string serializeDocument(const ordered_json &document, JsonDialect dialect) {
    if (dialect == JsonDialect::Portable) {
        return document.dump();
    }
    std::string out;
    appendFoundation(document, out);
    return out;
}

std::optional<ordered_json> collectServiceRecords(NetworkSource &source) {
    SourceHandle<SourcePreferences> preferences(source, source.createPreferences(kCallerName));
    if (!preferences.get()) {
        return std::nullopt;
    }
    SourceHandle<SourceNetworkSet> set(source, source.copyCurrentSet(preferences.get()));
    SourceHandle<SourceServiceList> list(source, set.get() ? source.copyServices(set.get()) : nullptr);

    ordered_json records = ordered_json::array();
    if (list.get() && source.serviceCount(list.get()) > 0) {
        // The count is read again after every service: the walk follows the
        // list as it is at that moment, never past its end.
        long index = 0;
        do {
            ordered_json record = serviceRecord(source, source.serviceAt(list.get(), index));
            if (!record.is_null()) {
                records.push_back(std::move(record));
            }
            ++index;
        } while (index < source.serviceCount(list.get()));
    }
    return records;
}

int reportProxyState(NetworkSource &source, const DocumentWriter &write, JsonDialect dialect) {
    std::optional<ordered_json> records = collectServiceRecords(source);
    if (!records || records->empty()) {
        return kExitNothingPrinted;
    }
    std::string document;
    try {
        // Text that is not UTF-8 cannot be serialised.
        document = serializeDocument(*records, dialect);
    } catch (const ordered_json::exception &) {
        return kExitNothingPrinted;
    }
    return write(document) ? kExitPrinted : kExitNothingPrinted;
}

bool writeDocument(std::FILE *stream, const std::string &bytes) {
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), stream);
    // fwrite may keep the bytes in the stream's buffer: only the flush tells
    // whether they reached the file (a full disk, a closed pipe).
    const bool flushed = std::fflush(stream) == 0;
    return written == bytes.size() && flushed;
}

} // namespace halyx
