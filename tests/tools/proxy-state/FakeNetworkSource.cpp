#include "FakeNetworkSource.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace halyx::testing {

using nlohmann::ordered_json;

FakeNetworkSource::~FakeNetworkSource() {
    EXPECT_EQ(m_live, 0) << "handles never released";
}

FakeNetworkSource::Object *FakeNetworkSource::newObject(const std::string &kind, size_t service) {
    ++m_live;
    return new Object{kind, service};
}

void FakeNetworkSource::releaseObject(void *handle, const std::string &kind) {
    auto *object = static_cast<Object *>(handle);
    EXPECT_EQ(object->kind, kind) << "released through the wrong operation";
    events.push_back("release " + kind + (kind == "protocol" ? " " + std::to_string(object->service) : ""));
    --m_live;
    delete object;
}

size_t FakeNetworkSource::serviceIndex(SourceService *service) const {
    return static_cast<size_t>(reinterpret_cast<const FakeService *>(service) - m_network.services.data());
}

SourcePreferences *FakeNetworkSource::createPreferences(const char *callerName) {
    events.push_back(std::string("createPreferences ") + callerName);
    if (m_network.preferencesFail) {
        return nullptr;
    }
    return reinterpret_cast<SourcePreferences *>(newObject("preferences"));
}

SourceNetworkSet *FakeNetworkSource::copyCurrentSet(SourcePreferences *) {
    events.push_back("copyCurrentSet");
    return m_network.hasSet ? reinterpret_cast<SourceNetworkSet *>(newObject("set")) : nullptr;
}

SourceServiceList *FakeNetworkSource::copyServices(SourceNetworkSet *) {
    events.push_back("copyServices");
    return m_network.hasList ? reinterpret_cast<SourceServiceList *>(newObject("list")) : nullptr;
}

long FakeNetworkSource::serviceCount(SourceServiceList *) {
    long count = static_cast<long>(m_network.services.size());
    if (!m_network.counts.empty()) {
        count = m_network.counts[std::min(m_countReads, m_network.counts.size() - 1)];
    }
    ++m_countReads;
    events.push_back("serviceCount " + std::to_string(count));
    return count;
}

SourceService *FakeNetworkSource::serviceAt(SourceServiceList *, long index) {
    events.push_back("serviceAt " + std::to_string(index));
    return reinterpret_cast<SourceService *>(&m_network.services.at(static_cast<size_t>(index)));
}

bool FakeNetworkSource::serviceEnabled(SourceService *service) {
    events.push_back("serviceEnabled " + std::to_string(serviceIndex(service)));
    return reinterpret_cast<FakeService *>(service)->enabled;
}

SourceProtocol *FakeNetworkSource::copyProxiesProtocol(SourceService *service) {
    const size_t index = serviceIndex(service);
    events.push_back("copyProxiesProtocol " + std::to_string(index));
    if (!m_network.services[index].hasProtocol) {
        return nullptr;
    }
    return reinterpret_cast<SourceProtocol *>(newObject("protocol", index));
}

SourceConfiguration *FakeNetworkSource::protocolConfiguration(SourceProtocol *protocol) {
    const size_t index = reinterpret_cast<Object *>(protocol)->service;
    events.push_back("protocolConfiguration " + std::to_string(index));
    std::optional<ordered_json> &configuration = m_network.services[index].configuration;
    return configuration ? reinterpret_cast<SourceConfiguration *>(&*configuration) : nullptr;
}

bool FakeNetworkSource::configurationValue(SourceConfiguration *configuration, const std::string &key,
                                           ordered_json *value) {
    const auto *dictionary = reinterpret_cast<const ordered_json *>(configuration);
    auto found = dictionary->find(key);
    if (found == dictionary->end()) {
        return false;
    }
    *value = *found;
    return true;
}

std::optional<std::string> FakeNetworkSource::serviceName(SourceService *service) {
    events.push_back("serviceName " + std::to_string(serviceIndex(service)));
    return reinterpret_cast<FakeService *>(service)->name;
}

std::optional<std::string> FakeNetworkSource::serviceIdentifier(SourceService *service) {
    events.push_back("serviceIdentifier " + std::to_string(serviceIndex(service)));
    return reinterpret_cast<FakeService *>(service)->identifier;
}

void FakeNetworkSource::release(SourcePreferences *preferences) {
    releaseObject(preferences, "preferences");
}

void FakeNetworkSource::release(SourceNetworkSet *set) {
    releaseObject(set, "set");
}

void FakeNetworkSource::release(SourceServiceList *list) {
    releaseObject(list, "list");
}

void FakeNetworkSource::release(SourceProtocol *protocol) {
    releaseObject(protocol, "protocol");
}

} // namespace halyx::testing
