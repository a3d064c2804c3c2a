#include "tools/proxy-state/LinuxNetworkSource.h"

#include "tools/proxy-state/LinuxProxyMapping.h"

#include <gio/gio.h>

#include <map>
#include <memory>
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
constexpr const char kDeviceInterface[] = "org.freedesktop.NetworkManager.Device";
constexpr const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

constexpr const char kBusName[] = "org.freedesktop.DBus";
constexpr const char kBusPath[] = "/org/freedesktop/DBus";
constexpr const char kBusInterface[] = "org.freedesktop.DBus";

// NMActiveConnectionState values that mean the profile is in use.
constexpr guint32 kActiveStateActivating = 1;
constexpr guint32 kActiveStateActivated = 2;
// NMActivationStateFlags: the device was configured by someone else and
// NetworkManager only mirrors it in a generated profile.
constexpr guint32 kActivationStateFlagExternal = 0x80;
// NMSettingsConnectionFlags: the profile was generated for such a device.
constexpr guint32 kSettingsConnectionFlagExternal = 0x8;
// NMDeviceType of the loopback device.
constexpr guint32 kDeviceTypeLoopback = 32;
constexpr const char kLoopbackConnectionType[] = "loopback";
constexpr const char kLoopbackInterface[] = "lo";

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

// The conversation with the system bus. Every wait on the bus is bounded by
// what is left until `deadline`; once a wait ran out (or the bus went away)
// `broken` is set and the data read so far is not trusted.
struct LinuxPreferences {
    GDBusConnection *bus = nullptr; // owned, private connection; null without a system bus
    gint64 deadline = 0;            // g_get_monotonic_time() scale, microseconds
    bool broken = false;
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

// Milliseconds left until `deadline` (at least 1 while it has not passed), or 0.
int remainingMs(gint64 deadline) {
    const gint64 left = deadline - g_get_monotonic_time();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// Whether `error` is an answer from the peer that concerns only the object or
// property asked for (deleted since it was listed, a property this version of
// NetworkManager lacks), as opposed to a bus or service that stopped
// answering.
bool isObjectError(const GError *error) {
    if (!g_dbus_error_is_remote_error(error)) {
        return false; // local: timed out, connection closed
    }
    return !g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) &&
           !g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) &&
           !g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) &&
           !g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) &&
           !g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT);
}

// A synchronous call on the bus, bounded by what is left of the deadline;
// null on any error (no such name on the bus, a reply of another type, the
// timeout). Errors other than an object error break the conversation.
VariantPtr callBus(LinuxPreferences &bus, const char *name, const char *path, const char *interface, const char *method,
                   GVariant *parameters, const char *replyType) {
    const int timeout = remainingMs(bus.deadline);
    if (timeout == 0 || bus.broken) {
        if (parameters) {
            g_variant_unref(g_variant_ref_sink(parameters)); // the call would have consumed it
        }
        bus.broken = true;
        return nullptr;
    }
    GError *error = nullptr;
    GVariant *reply =
        g_dbus_connection_call_sync(bus.bus, name, path, interface, method, parameters, G_VARIANT_TYPE(replyType),
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, timeout, nullptr, &error);
    if (!reply && !isObjectError(error)) {
        bus.broken = true;
    }
    g_clear_error(&error);
    return VariantPtr(reply);
}

VariantPtr callNetworkManager(LinuxPreferences &bus, const char *path, const char *interface, const char *method,
                              GVariant *parameters, const char *replyType) {
    return callBus(bus, kNetworkManagerName, path, interface, method, parameters, replyType);
}

// The value of one property, or null when the object does not have it.
VariantPtr networkManagerProperty(LinuxPreferences &bus, const std::string &path, const char *interface,
                                  const char *property, const GVariantType *type) {
    VariantPtr reply = callNetworkManager(bus, path.c_str(), kPropertiesInterface, "Get",
                                          g_variant_new("(ss)", interface, property), "(v)");
    if (!reply) {
        return nullptr;
    }
    VariantPtr boxed(g_variant_get_child_value(reply.get(), 0));
    VariantPtr value(g_variant_get_variant(boxed.get()));
    if (!g_variant_is_of_type(value.get(), type)) {
        return nullptr;
    }
    return value;
}

struct ConnectAttempt {
    GDBusConnection *connection = nullptr;
    bool finished = false;
};

void onConnected(GObject *, GAsyncResult *result, gpointer data) {
    auto *attempt = static_cast<ConnectAttempt *>(data);
    attempt->connection = g_dbus_connection_new_for_address_finish(result, nullptr);
    attempt->finished = true;
}

gboolean onConnectTimeout(gpointer cancellable) {
    g_cancellable_cancel(static_cast<GCancellable *>(cancellable));
    return G_SOURCE_REMOVE;
}

// A private connection to the bus at `address`, authenticated and registered
// with the bus (Hello) before `deadline`; null otherwise. A private
// connection, unlike the shared one, does not end the process when the bus
// goes away, and it is closed on release. The synchronous constructor cannot
// be bounded (its authentication waits for the server's lines as long as it
// takes, its Hello uses the 25 s default timeout), so authentication runs
// asynchronously under a cancellable cancelled at the deadline, and Hello is
// sent here with the time that is left.
GDBusConnection *connectBefore(const gchar *address, gint64 deadline) {
    const int timeout = remainingMs(deadline);
    if (timeout == 0) {
        return nullptr;
    }
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GCancellable *cancellable = g_cancellable_new();
    GSource *timer = g_timeout_source_new(static_cast<guint>(timeout));
    g_source_set_callback(timer, onConnectTimeout, cancellable, nullptr);
    g_source_attach(timer, context);

    ConnectAttempt attempt;
    g_dbus_connection_new_for_address(address, G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT, nullptr, cancellable,
                                      onConnected, &attempt);
    // The callback comes also after a cancellation, so the attempt is over
    // (and nothing refers to `attempt` any more) when the loop ends.
    while (!attempt.finished) {
        g_main_context_iteration(context, TRUE);
    }
    g_source_destroy(timer);
    g_source_unref(timer);
    g_object_unref(cancellable);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);

    if (!attempt.connection) {
        return nullptr;
    }
    LinuxPreferences hello;
    hello.bus = attempt.connection;
    hello.deadline = deadline;
    if (!callBus(hello, kBusName, kBusPath, kBusInterface, "Hello", nullptr, "(s)")) {
        g_dbus_connection_close_sync(attempt.connection, nullptr, nullptr);
        g_object_unref(attempt.connection);
        return nullptr;
    }
    return attempt.connection;
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

// What NetworkManager's active connections say about one profile.
struct ProfileActivity {
    bool inUse = false;    // activating or activated
    bool external = false; // mirrors a device configured by other software
    bool loopback = false; // active on the loopback device
};

bool onLoopbackDevice(LinuxPreferences &bus, GVariant *devices) {
    for (const std::string &device : objectPaths(devices)) {
        VariantPtr name = networkManagerProperty(bus, device, kDeviceInterface, "Interface", G_VARIANT_TYPE_STRING);
        if (name && g_strcmp0(g_variant_get_string(name.get(), nullptr), kLoopbackInterface) == 0) {
            return true;
        }
        VariantPtr type = networkManagerProperty(bus, device, kDeviceInterface, "DeviceType", G_VARIANT_TYPE_UINT32);
        if (type && g_variant_get_uint32(type.get()) == kDeviceTypeLoopback) {
            return true;
        }
    }
    return false;
}

// The profiles behind NetworkManager's active connections, by object path.
std::map<std::string, ProfileActivity> activeProfiles(LinuxPreferences &bus) {
    std::map<std::string, ProfileActivity> profiles;
    VariantPtr paths = networkManagerProperty(bus, kNetworkManagerPath, kNetworkManagerInterface, "ActiveConnections",
                                              G_VARIANT_TYPE_OBJECT_PATH_ARRAY);
    if (!paths) {
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
        ProfileActivity &activity = profiles[g_variant_get_string(profile.get(), nullptr)];
        const guint32 value = g_variant_get_uint32(state.get());
        activity.inUse = activity.inUse || value == kActiveStateActivating || value == kActiveStateActivated;
        // Versions before StateFlags (1.26) are judged by the profile alone.
        if (VariantPtr flags{g_variant_lookup_value(properties.get(), "StateFlags", G_VARIANT_TYPE_UINT32)}) {
            activity.external = activity.external || (g_variant_get_uint32(flags.get()) & kActivationStateFlagExternal);
        }
        // A profile of another type can be bound to lo (before the loopback
        // type, 1.42): only its device tells.
        if (!activity.loopback) {
            if (VariantPtr devices{
                    g_variant_lookup_value(properties.get(), "Devices", G_VARIANT_TYPE_OBJECT_PATH_ARRAY)}) {
                activity.loopback = onLoopbackDevice(bus, devices.get());
            }
        }
    }
    return profiles;
}

// Whether the profile describes the loopback interface, or was generated by
// NetworkManager for an interface that other software configured.
bool isUnconfiguredProfile(LinuxPreferences &bus, const std::string &path, GVariant *connection) {
    if (lookupString(connection, "type") == std::optional<std::string>(kLoopbackConnectionType) ||
        lookupString(connection, "interface-name") == std::optional<std::string>(kLoopbackInterface)) {
        return true;
    }
    VariantPtr flags = networkManagerProperty(bus, path, kConnectionInterface, "Flags", G_VARIANT_TYPE_UINT32);
    return flags && (g_variant_get_uint32(flags.get()) & kSettingsConnectionFlagExternal);
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
    preferences->deadline = g_get_monotonic_time() + static_cast<gint64>(kBusDeadlineMs) * 1000;
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    g_clear_error(&error);
    if (address) {
        preferences->bus = connectBefore(address, preferences->deadline);
        g_free(address);
    }
    return toHandle<SourcePreferences>(preferences);
}

SourceNetworkSet *LinuxNetworkSource::copyCurrentSet(SourcePreferences *handle) {
    LinuxPreferences &bus = *fromHandle<LinuxPreferences>(handle);
    if (!bus.bus) {
        return nullptr;
    }
    VariantPtr listed = callNetworkManager(bus, kSettingsPath, kSettingsInterface, "ListConnections", nullptr, "(ao)");
    if (!listed) {
        return nullptr;
    }
    VariantPtr paths(g_variant_get_child_value(listed.get(), 0));
    const std::map<std::string, ProfileActivity> activity = activeProfiles(bus);
    const std::optional<DesktopProxySettings> desktop = desktopProxy();

    std::unique_ptr<LinuxNetworkSet> set(new LinuxNetworkSet());
    for (const std::string &path : objectPaths(paths.get())) {
        VariantPtr reply =
            callNetworkManager(bus, path.c_str(), kConnectionInterface, "GetSettings", nullptr, "(a{sa{sv}})");
        if (!reply) {
            continue; // the profile was deleted since the list was read
        }
        VariantPtr settings(g_variant_get_child_value(reply.get(), 0));
        VariantPtr connection(g_variant_lookup_value(settings.get(), "connection", G_VARIANT_TYPE_VARDICT));
        auto active = activity.find(path);
        const ProfileActivity profileActivity = active == activity.end() ? ProfileActivity() : active->second;
        if (profileActivity.external || profileActivity.loopback ||
            (connection && isUnconfiguredProfile(bus, path, connection.get()))) {
            continue;
        }
        LinuxService service;
        if (connection) {
            service.name = lookupString(connection.get(), "id");
            service.uuid = lookupString(connection.get(), "uuid");
        }
        service.active = profileActivity.inUse;
        service.proxies = proxiesConfiguration(desktop, profileProxy(settings.get()));
        set->services.push_back(std::move(service));
    }
    // A NetworkManager that stopped answering half-way leaves a partial
    // picture: report nothing rather than some of the services.
    if (bus.broken) {
        return nullptr;
    }
    return toHandle<SourceNetworkSet>(set.release());
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
