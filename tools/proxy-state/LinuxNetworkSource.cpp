#include "tools/proxy-state/LinuxNetworkSource.h"

#include "tools/proxy-state/LinuxProxyMapping.h"

#include <gio/gio.h>

#include <memory>
#include <set>
#include <vector>

namespace halyx {

namespace {

using nlohmann::ordered_json;

constexpr const char kNetworkManagerName[] = "org.freedesktop.NetworkManager";
constexpr const char kNetworkManagerPath[] = "/org/freedesktop/NetworkManager";
constexpr const char kNetworkManagerInterface[] = "org.freedesktop.NetworkManager";
constexpr const char kSettingsPath[] = "/org/freedesktop/NetworkManager/Settings";
constexpr const char kSettingsInterface[] = "org.freedesktop.NetworkManager.Settings";
constexpr const char kConnectionInterface[] = "org.freedesktop.NetworkManager.Settings.Connection";
constexpr const char kActiveConnectionInterface[] = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

// NMActiveConnectionState values that mean the profile is in use.
constexpr guint32 kActiveStateActivating = 1;
constexpr guint32 kActiveStateActivated = 2;

constexpr const char kProxySchema[] = "org.gnome.system.proxy";

struct VariantUnref {
    void operator()(GVariant *variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T> using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct SchemaUnref {
    void operator()(GSettingsSchema *schema) const { g_settings_schema_unref(schema); }
};
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;

struct LinuxPreferences {
    GDBusConnection *bus = nullptr; // owned, private connection; null without a system bus
};

struct LinuxService {
    std::optional<std::string> name;
    std::optional<std::string> uuid;
    bool active = false;
    std::optional<ordered_json> proxies; // none: no proxies protocol
};

struct LinuxNetworkSet {
    std::vector<LinuxService> services;
};

struct LinuxServiceList {
    std::vector<LinuxService> services;
};

struct LinuxProtocol {
    ordered_json configuration;
};

template <class Handle, class Object> Handle *toHandle(Object *object) {
    return reinterpret_cast<Handle *>(object);
}

template <class Object, class Handle> Object *fromHandle(Handle *handle) {
    return reinterpret_cast<Object *>(handle);
}

// A synchronous call to NetworkManager; null on any error (no such name on
// the bus, a reply of another type, the timeout).
VariantPtr callNetworkManager(GDBusConnection *bus, const char *path, const char *interface, const char *method,
                              GVariant *parameters, const char *replyType) {
    GError *error = nullptr;
    GVariant *reply = g_dbus_connection_call_sync(bus, kNetworkManagerName, path, interface, method, parameters,
                                                  G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                  LinuxNetworkSource::kDBusCallTimeoutMs, nullptr, &error);
    g_clear_error(&error);
    return VariantPtr(reply);
}

std::vector<std::string> objectPaths(GVariant *array) {
    std::vector<std::string> paths;
    GVariantIter iter;
    g_variant_iter_init(&iter, array);
    const gchar *path = nullptr;
    while (g_variant_iter_next(&iter, "&o", &path)) {
        paths.emplace_back(path);
    }
    return paths;
}

std::optional<std::string> lookupString(GVariant *dictionary, const char *key) {
    VariantPtr value(g_variant_lookup_value(dictionary, key, G_VARIANT_TYPE_STRING));
    if (!value) {
        return std::nullopt;
    }
    return std::string(g_variant_get_string(value.get(), nullptr));
}

// Paths of the profiles behind NetworkManager's active connections that are
// activating or activated.
std::set<std::string> activeProfiles(GDBusConnection *bus) {
    std::set<std::string> profiles;
    VariantPtr reply = callNetworkManager(bus, kNetworkManagerPath, kPropertiesInterface, "Get",
                                          g_variant_new("(ss)", kNetworkManagerInterface, "ActiveConnections"), "(v)");
    if (!reply) {
        return profiles;
    }
    VariantPtr boxed(g_variant_get_child_value(reply.get(), 0));
    VariantPtr paths(g_variant_get_variant(boxed.get()));
    if (!g_variant_is_of_type(paths.get(), G_VARIANT_TYPE_OBJECT_PATH_ARRAY)) {
        return profiles;
    }
    for (const std::string &path : objectPaths(paths.get())) {
        VariantPtr all = callNetworkManager(bus, path.c_str(), kPropertiesInterface, "GetAll",
                                            g_variant_new("(s)", kActiveConnectionInterface), "(a{sv})");
        if (!all) {
            continue; // gone since the list was read
        }
        VariantPtr properties(g_variant_get_child_value(all.get(), 0));
        VariantPtr profile(g_variant_lookup_value(properties.get(), "Connection", G_VARIANT_TYPE_OBJECT_PATH));
        VariantPtr state(g_variant_lookup_value(properties.get(), "State", G_VARIANT_TYPE_UINT32));
        if (!profile || !state) {
            continue;
        }
        const guint32 value = g_variant_get_uint32(state.get());
        if (value == kActiveStateActivating || value == kActiveStateActivated) {
            profiles.insert(g_variant_get_string(profile.get(), nullptr));
        }
    }
    return profiles;
}

std::optional<ProfileProxySettings> profileProxy(GVariant *settings) {
    VariantPtr proxy(g_variant_lookup_value(settings, "proxy", G_VARIANT_TYPE_VARDICT));
    if (!proxy) {
        return std::nullopt;
    }
    ProfileProxySettings profile;
    VariantPtr method(g_variant_lookup_value(proxy.get(), "method", G_VARIANT_TYPE_INT32));
    if (method) {
        profile.method = g_variant_get_int32(method.get());
    }
    profile.pacUrl = lookupString(proxy.get(), "pac-url").value_or("");
    profile.pacScript = lookupString(proxy.get(), "pac-script").value_or("");
    return profile;
}

// The value of `key` if the schema has it with the expected type; a schema of
// another version must not make GSettings abort the process.
VariantPtr settingValue(GSettings *settings, GSettingsSchema *schema, const char *key, const GVariantType *type) {
    if (!g_settings_schema_has_key(schema, key)) {
        return nullptr;
    }
    VariantPtr value(g_settings_get_value(settings, key));
    if (!value || !g_variant_is_of_type(value.get(), type)) {
        return nullptr;
    }
    return value;
}

std::string stringSetting(GSettings *settings, GSettingsSchema *schema, const char *key) {
    VariantPtr value = settingValue(settings, schema, key, G_VARIANT_TYPE_STRING);
    return value ? std::string(g_variant_get_string(value.get(), nullptr)) : std::string();
}

// Opens a schema only when it is installed: g_settings_new() of a missing
// schema aborts the process.
struct OpenedSettings {
    SchemaPtr schema;
    ObjectPtr<GSettings> settings;
};

OpenedSettings openSettings(GSettingsSchemaSource *source, const std::string &id) {
    OpenedSettings opened;
    opened.schema.reset(g_settings_schema_source_lookup(source, id.c_str(), TRUE));
    if (opened.schema) {
        opened.settings.reset(g_settings_new_full(opened.schema.get(), nullptr, nullptr));
    }
    return opened;
}

DesktopProxySettings::Endpoint endpointSettings(GSettingsSchemaSource *source, const char *child,
                                                bool *useAuthentication) {
    DesktopProxySettings::Endpoint endpoint;
    OpenedSettings opened = openSettings(source, std::string(kProxySchema) + "." + child);
    if (!opened.settings) {
        return endpoint;
    }
    GSettings *settings = opened.settings.get();
    GSettingsSchema *schema = opened.schema.get();
    endpoint.host = stringSetting(settings, schema, "host");
    if (VariantPtr port = settingValue(settings, schema, "port", G_VARIANT_TYPE_INT32)) {
        endpoint.port = g_variant_get_int32(port.get());
    }
    if (useAuthentication) {
        VariantPtr value = settingValue(settings, schema, "use-authentication", G_VARIANT_TYPE_BOOLEAN);
        *useAuthentication = value && g_variant_get_boolean(value.get());
    }
    return endpoint;
}

// The desktop's system proxy settings, or none when the schema is not
// installed.
std::optional<DesktopProxySettings> desktopProxy() {
    GSettingsSchemaSource *source = g_settings_schema_source_get_default(); // borrowed; null without schemas
    if (!source) {
        return std::nullopt;
    }
    OpenedSettings opened = openSettings(source, kProxySchema);
    if (!opened.settings) {
        return std::nullopt;
    }
    GSettings *settings = opened.settings.get();
    GSettingsSchema *schema = opened.schema.get();
    DesktopProxySettings desktop;
    desktop.mode = stringSetting(settings, schema, "mode");
    desktop.autoconfigUrl = stringSetting(settings, schema, "autoconfig-url");
    if (VariantPtr hosts = settingValue(settings, schema, "ignore-hosts", G_VARIANT_TYPE_STRING_ARRAY)) {
        GVariantIter iter;
        g_variant_iter_init(&iter, hosts.get());
        const gchar *host = nullptr;
        while (g_variant_iter_next(&iter, "&s", &host)) {
            desktop.ignoreHosts.emplace_back(host);
        }
    }
    desktop.http = endpointSettings(source, "http", &desktop.httpUseAuthentication);
    desktop.https = endpointSettings(source, "https", nullptr);
    desktop.socks = endpointSettings(source, "socks", nullptr);
    return desktop;
}

} // namespace

SourcePreferences *LinuxNetworkSource::createPreferences(const char *) {
    // The caller name only labels the reader on macOS; D-Bus has no use for it.
    auto *preferences = new LinuxPreferences();
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    g_clear_error(&error);
    if (address) {
        // A private connection: unlike the shared one it does not end the
        // process when the bus goes away, and it is closed on release.
        preferences->bus = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_clear_error(&error);
        g_free(address);
    }
    return toHandle<SourcePreferences>(preferences);
}

SourceNetworkSet *LinuxNetworkSource::copyCurrentSet(SourcePreferences *handle) {
    GDBusConnection *bus = fromHandle<LinuxPreferences>(handle)->bus;
    if (!bus) {
        return nullptr;
    }
    VariantPtr listed = callNetworkManager(bus, kSettingsPath, kSettingsInterface, "ListConnections", nullptr, "(ao)");
    if (!listed) {
        return nullptr;
    }
    VariantPtr paths(g_variant_get_child_value(listed.get(), 0));
    const std::set<std::string> active = activeProfiles(bus);
    const std::optional<DesktopProxySettings> desktop = desktopProxy();

    auto *set = new LinuxNetworkSet();
    for (const std::string &path : objectPaths(paths.get())) {
        VariantPtr reply =
            callNetworkManager(bus, path.c_str(), kConnectionInterface, "GetSettings", nullptr, "(a{sa{sv}})");
        if (!reply) {
            continue; // the profile was deleted since the list was read
        }
        VariantPtr settings(g_variant_get_child_value(reply.get(), 0));
        LinuxService service;
        if (VariantPtr connection{g_variant_lookup_value(settings.get(), "connection", G_VARIANT_TYPE_VARDICT)}) {
            service.name = lookupString(connection.get(), "id");
            service.uuid = lookupString(connection.get(), "uuid");
        }
        service.active = active.count(path) != 0;
        service.proxies = proxiesConfiguration(desktop, profileProxy(settings.get()));
        set->services.push_back(std::move(service));
    }
    return toHandle<SourceNetworkSet>(set);
}

SourceServiceList *LinuxNetworkSource::copyServices(SourceNetworkSet *set) {
    auto *list = new LinuxServiceList();
    list->services = fromHandle<LinuxNetworkSet>(set)->services;
    return toHandle<SourceServiceList>(list);
}

long LinuxNetworkSource::serviceCount(SourceServiceList *list) {
    return static_cast<long>(fromHandle<LinuxServiceList>(list)->services.size());
}

SourceService *LinuxNetworkSource::serviceAt(SourceServiceList *list, long index) {
    return toHandle<SourceService>(&fromHandle<LinuxServiceList>(list)->services.at(static_cast<size_t>(index)));
}

bool LinuxNetworkSource::serviceEnabled(SourceService *service) {
    return fromHandle<LinuxService>(service)->active;
}

SourceProtocol *LinuxNetworkSource::copyProxiesProtocol(SourceService *handle) {
    const LinuxService *service = fromHandle<LinuxService>(handle);
    if (!service->proxies) {
        return nullptr;
    }
    return toHandle<SourceProtocol>(new LinuxProtocol{*service->proxies});
}

SourceConfiguration *LinuxNetworkSource::protocolConfiguration(SourceProtocol *protocol) {
    return toHandle<SourceConfiguration>(&fromHandle<LinuxProtocol>(protocol)->configuration);
}

bool LinuxNetworkSource::configurationValue(SourceConfiguration *handle, const std::string &key, ordered_json *value) {
    const ordered_json *configuration = fromHandle<ordered_json>(handle);
    auto found = configuration->find(key);
    if (found == configuration->end()) {
        return false;
    }
    *value = *found;
    return true;
}

std::optional<std::string> LinuxNetworkSource::serviceName(SourceService *service) {
    return fromHandle<LinuxService>(service)->name;
}

std::optional<std::string> LinuxNetworkSource::serviceIdentifier(SourceService *service) {
    return fromHandle<LinuxService>(service)->uuid;
}

void LinuxNetworkSource::release(SourcePreferences *handle) {
    LinuxPreferences *preferences = fromHandle<LinuxPreferences>(handle);
    if (preferences->bus) {
        g_dbus_connection_close_sync(preferences->bus, nullptr, nullptr);
        g_object_unref(preferences->bus);
    }
    delete preferences;
}

void LinuxNetworkSource::release(SourceNetworkSet *set) {
    delete fromHandle<LinuxNetworkSet>(set);
}

void LinuxNetworkSource::release(SourceServiceList *list) {
    delete fromHandle<LinuxServiceList>(list);
}

void LinuxNetworkSource::release(SourceProtocol *protocol) {
    delete fromHandle<LinuxProtocol>(protocol);
}

namespace {

GLogWriterOutput discardLogMessage(GLogLevelFlags, const GLogField *, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

void discardLogText(const gchar *, GLogLevelFlags, const gchar *, gpointer) {}

void discardPrintedText(const gchar *) {}

} // namespace

void silenceGLibDiagnostics() {
    g_log_set_writer_func(discardLogMessage, nullptr, nullptr);
    g_log_set_default_handler(discardLogText, nullptr);
    g_set_print_handler(discardPrintedText);
    g_set_printerr_handler(discardPrintedText);
}

} // namespace halyx
