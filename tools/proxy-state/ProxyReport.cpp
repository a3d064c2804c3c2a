#include "tools/proxy-state/ProxyReport.h"

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

} // namespace

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

int reportProxyState(NetworkSource &source, const DocumentWriter &write) {
    std::optional<ordered_json> records = collectServiceRecords(source);
    if (!records || records->empty()) {
        return kExitNothingPrinted;
    }
    std::string document;
    try {
        // Compact: no indentation, no spaces after separators; non-ASCII text
        // stays raw UTF-8. Text that is not UTF-8 cannot be serialised.
        document = records->dump();
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
