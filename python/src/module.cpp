// corvane_vorn._corvane_vorn: the Python binding of the store (class VORN).
//
// Only the public C++ interface is used (core/VORN.h, core/NameSpace.h,
// log/VORNHandler.h), so the module keeps working whatever the engine behind
// it becomes.
//
// Threading. Every call into the library runs with the GIL released; the
// arguments are converted to C++ values before, the results to Python objects
// after. The library calls the log handler on the calling thread with the
// store's locks held: the handler takes the GIL itself. That cannot deadlock
// because no thread ever waits for a library lock (or for a lock of this file)
// while it holds the GIL. A log or change callback must not use a store: it
// runs inside a store operation.
//
// Lifetime. The library keeps one VORN instance per store and process, shared
// by every caller, and close() destroys it for all of them. Python Store
// objects opened on one instance therefore share an OpenStore record that
// counts them: the instance is closed when the last of them closes (or is
// collected). A call in progress holds the record's gate shared; closing holds
// it exclusively, so an instance is never destroyed under a running call.

#include <pybind11/pybind11.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/NameSpace.h"
#include "core/VORN.h"
#include "log/VORNHandler.h"

namespace py = pybind11;

namespace {

// ---- Errors ----

// Raised from code that runs without the GIL; translated to a Python exception
// once the GIL is back (see the translator in the module body).
enum class ErrorKind { Store, WrongKey, ReadOnly, NotFound, Closed, Value };

struct BindingError {
    ErrorKind kind;
    std::string message;
};

[[noreturn]] void fail(ErrorKind kind, std::string message) {
    throw BindingError{kind, std::move(message)};
}

// The exception classes, created at import and alive until the process ends.
PyObject *g_errorType = nullptr;         // corvane_vorn.Error(OSError)
PyObject *g_wrongKeyErrorType = nullptr; // corvane_vorn.WrongKeyError(Error)
PyObject *g_readOnlyErrorType = nullptr; // corvane_vorn.ReadOnlyError(Error)

// The last warning or error the library logged on this thread. Cleared before
// a call whose failure is reported, so the exception can say why: the library
// reports failures as false plus a log line, not as values.
thread_local std::string t_lastProblem;

std::string withReason(std::string message) {
    if (!t_lastProblem.empty()) {
        message += ": " + t_lastProblem;
    }
    return message;
}

// ---- Logging ----

// The library's level filter as the module wants it: below warning off until
// initialize() or set_log_level() says otherwise. Written with the GIL held.
std::atomic<int> g_wantedLevel{VORNLogWarning};

// Set by the atexit hook: from then on no store is used and no callback enters
// Python (the interpreter is going away).
std::atomic<bool> g_exited{false};

// Python objects kept for the whole process. Deliberately never released: a
// destructor running after the interpreter has finalized would crash.
py::object *g_logger = nullptr;         // logging.getLogger("corvane_vorn")
py::object *g_changeCallback = nullptr; // on_content_changed's callable, or None

bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

int pythonLevel(VORNLogLevel level) {
    switch (level) {
    case VORNLogDebug:
        return 10;
    case VORNLogInfo:
        return 20;
    case VORNLogWarning:
        return 30;
    default:
        return 40;
    }
}

// Python logging levels (10 DEBUG ... 50 CRITICAL) to the library's filter: a
// Python level lets through the library levels at or above it.
VORNLogLevel libraryLevel(int level) {
    if (level <= 10) {
        return VORNLogDebug;
    }
    if (level <= 20) {
        return VORNLogInfo;
    }
    if (level <= 30) {
        return VORNLogWarning;
    }
    if (level <= 40) {
        return VORNLogError;
    }
    return VORNLogNone;
}

// The handler registered with the library. Called on the thread working on a
// store, with that store's locks held and usually without the GIL.
class PythonHandler final : public vorn::VORNHandler {
public:
    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override {
        if (level >= VORNLogWarning) {
            t_lastProblem = message;
        }
        if (g_exited.load() || !g_logger || interpreterFinalizing()) {
            return;
        }
        py::gil_scoped_acquire gil;
        try {
            const int pyLevel = pythonLevel(level);
            py::object &logger = *g_logger;
            if (!logger.attr("isEnabledFor")(pyLevel).cast<bool>()) {
                return;
            }
            // The record names the library's source and function, not this file.
            py::object record = logger.attr("makeRecord")(logger.attr("name"), pyLevel, file ? file : "", line, message,
                                                          py::tuple(), py::none(), function ? function : "");
            logger.attr("handle")(record);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("corvane_vorn log handler");
        }
    }

    // Damage: keep every record that still decodes rather than the library's
    // default of starting empty; a script's data is worth more than a clean
    // slate, and the log says what happened.
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return OnErrorRecover; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return OnErrorRecover; }

    void onContentChanged(const std::string &mmapID) override {
        if (g_exited.load() || interpreterFinalizing()) {
            return;
        }
        py::gil_scoped_acquire gil;
        if (!g_changeCallback || g_changeCallback->is_none()) {
            return;
        }
        try {
            (*g_changeCallback)(mmapID);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("corvane_vorn content-changed callback");
        }
    }

    void onContentLoaded(const std::string &) override {}
};

PythonHandler g_handler_instance;

// ---- The library's process set-up ----

std::mutex g_registry;                   // serialises opens, closes and the exit hook
bool g_handlerInstalled = false;         // guarded by g_registry
std::optional<std::string> g_globalRoot; // what initialize() fixed; guarded by g_registry

// Before the module's first use of the library: make sure the library's
// start-up lines go through the handler at the module's level, not to
// standard output. setLogLevel and registerHandler do nothing before the
// library is initialised, and initializeVORN would fix the global root:
// setLogging works before. g_registry held.
void prepareLibrary() {
    if (g_handlerInstalled) {
        return;
    }
    vorn::setLogging(static_cast<VORNLogLevel>(g_wantedLevel.load()), &g_handler_instance);
}

// After a call that initialises the library (nameSpace, initializeVORN).
// g_registry held.
void libraryReady() {
    if (!g_handlerInstalled) {
        VORN::registerHandler(&g_handler_instance);
        VORN::setLogLevel(static_cast<VORNLogLevel>(g_wantedLevel.load()));
        g_handlerInstalled = true;
    }
}

// ---- Argument conversion (GIL held) ----

std::string keyArgument(py::handle key) {
    std::string result;
    if (PyUnicode_Check(key.ptr())) {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
        if (!data) {
            throw py::error_already_set();
        }
        result.assign(data, static_cast<size_t>(size));
    } else if (PyBytes_Check(key.ptr())) {
        result.assign(PyBytes_AS_STRING(key.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(key.ptr())));
    } else {
        throw py::type_error(std::string("keys are str or bytes, not ") + Py_TYPE(key.ptr())->tp_name);
    }
    if (result.empty()) {
        throw py::value_error("keys must not be empty");
    }
    return result;
}

std::string textArgument(py::handle value, const char *what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be str, not " + Py_TYPE(value.ptr())->tp_name);
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!data) {
        throw py::error_already_set();
    }
    return std::string(data, static_cast<size_t>(size));
}

// bytes, bytearray, memoryview or any other contiguous buffer, copied (a
// bytearray may change while the GIL is released).
std::string bytesArgument(py::handle value, const char *what) {
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr())) {
        throw py::type_error(std::string(what) + " must be a bytes-like object, not " + Py_TYPE(value.ptr())->tp_name);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) {
        throw py::error_already_set();
    }
    std::string result(static_cast<const char *>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return result;
}

// A str or bytes value as UTF-8 bytes (str) or as given (bytes).
std::string textOrBytesArgument(py::handle value, const char *what) {
    if (PyUnicode_Check(value.ptr())) {
        return textArgument(value, what);
    }
    if (PyBytes_Check(value.ptr())) {
        return bytesArgument(value, what);
    }
    throw py::type_error(std::string(what) + " must be str or bytes, not " + Py_TYPE(value.ptr())->tp_name);
}

std::optional<std::string> optionalKeyMaterial(py::handle key) {
    if (key.is_none()) {
        return std::nullopt;
    }
    std::string material = textOrBytesArgument(key, "key");
    if (material.empty()) {
        return std::nullopt;
    }
    return material;
}

std::optional<std::string> pathArgument(py::handle path) {
    if (path.is_none()) {
        return std::nullopt;
    }
    py::object fs = py::module_::import("os").attr("fsdecode")(path);
    std::string result = fs.cast<std::string>();
    if (result.empty()) {
        throw py::value_error("a path must not be empty");
    }
    return result;
}

// A Python integer (or anything with __index__) within [low, high].
template <typename T> T integerArgument(py::handle value, const char *type) {
    PyObject *index = PyNumber_Index(value.ptr());
    if (!index) {
        throw py::error_already_set();
    }
    py::object owned = py::reinterpret_steal<py::object>(index);
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow != 0 || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
            PyErr_Format(PyExc_OverflowError, "%S is out of range for %s", index, type);
            throw py::error_already_set();
        }
        return static_cast<T>(v);
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(index);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "%S is out of range for %s", index, type);
            throw py::error_already_set();
        }
        if (v > std::numeric_limits<T>::max()) {
            PyErr_Format(PyExc_OverflowError, "%S is out of range for %s", index, type);
            throw py::error_already_set();
        }
        return static_cast<T>(v);
    }
}

std::optional<uint32_t> secondsArgument(py::handle seconds) {
    if (seconds.is_none()) {
        return std::nullopt;
    }
    return integerArgument<uint32_t>(seconds, "an expiry duration in seconds (uint32)");
}

// ---- Result conversion (GIL held) ----

// Text when the bytes are UTF-8, else bytes: keys and list items carry no
// type either.
py::object textOrBytes(const char *data, size_t size) {
    PyObject *text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    if (text) {
        return py::reinterpret_steal<py::object>(text);
    }
    PyErr_Clear();
    return py::bytes(data, size);
}

py::object textOrBytes(const std::string &value) {
    return textOrBytes(value.data(), value.size());
}

py::object utf8Text(const std::string &value) {
    PyObject *text = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "strict");
    if (!text) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(text);
}

[[noreturn]] void raiseKeyError(const std::string &key) {
    py::object k = textOrBytes(key);
    PyErr_SetObject(PyExc_KeyError, k.ptr());
    throw py::error_already_set();
}

// The value bytes of a string or byte-string setter: one varint length, then
// exactly that many bytes. Sets [offset, offset + length) and returns true
// when `raw` has that shape.
bool lengthPrefixed(const vorn::VornBuffer &raw, size_t &offset, size_t &length) {
    const auto *bytes = static_cast<const uint8_t *>(raw.data());
    const size_t size = raw.size();
    uint64_t value = 0;
    size_t i = 0;
    for (int shift = 0; shift < 35; shift += 7) {
        if (i >= size) {
            return false;
        }
        const uint8_t b = bytes[i++];
        value |= static_cast<uint64_t>(b & 0x7F) << shift;
        if ((b & 0x80) == 0) {
            offset = i;
            length = static_cast<size_t>(value);
            return value == size - i;
        }
    }
    return false;
}

// ---- Open stores ----

struct OpenStore {
    // Constant after construction.
    std::string id;
    std::optional<std::string> root; // null: the global root
    uint32_t mode = VORN_SINGLE_PROCESS;

    // Null once closed. Read under `gate` (shared), cleared under it (exclusive).
    VORN *vorn = nullptr;
    std::shared_mutex gate;

    // Guarded by g_registry.
    int users = 0;
    std::string cryptKey; // as opened or last re-keyed; empty: plain
    bool aes256 = false;

    bool readOnly() const { return (mode & VORN_READ_ONLY) != 0; }
    std::string describe() const {
        return "store '" + id + "'" + (root ? " under " + *root : std::string(" under the global root"));
    }
};

// Every instance a Python Store refers to. Guarded by g_registry.
std::unordered_map<VORN *, std::shared_ptr<OpenStore>> g_open;

// Drops one user; the last one closes the instance. g_registry held, GIL not held.
void releaseUser(const std::shared_ptr<OpenStore> &open) {
    if (--open->users > 0) {
        return;
    }
    std::unique_lock<std::shared_mutex> gate(open->gate);
    if (open->vorn) {
        g_open.erase(open->vorn);
        open->vorn->close();
        open->vorn = nullptr;
    }
}

// Runs fn(VORN*) with the GIL released and the store's gate held shared.
// `open` is a copy taken with the GIL held: another thread may close the
// Python handle (and drop its reference) meanwhile.
template <typename Fn> auto withStore(std::shared_ptr<OpenStore> open, Fn &&fn) {
    py::gil_scoped_release nogil;
    std::shared_lock<std::shared_mutex> gate(open->gate);
    if (!open->vorn) {
        fail(ErrorKind::Closed, open->describe() + " is closed");
    }
    t_lastProblem.clear();
    return fn(open->vorn);
}

// Holds the store's shared lock (thread lock plus, multi-process, the shared
// inter-process lock) across several calls, so that they see one state.
class SharedHold {
public:
    explicit SharedHold(VORN *vorn) : m_vorn(vorn) { m_vorn->shared_lock(); }
    ~SharedHold() { m_vorn->shared_unlock(); }
    SharedHold(const SharedHold &) = delete;
    SharedHold &operator=(const SharedHold &) = delete;

private:
    VORN *m_vorn;
};

enum class Lookup { Found, Absent, WrongType };

class Store {
public:
    Store(py::handle id, py::handle root, bool multiProcess, bool readOnly, py::handle key, bool aes256,
          py::handle expire) {
        const std::string storeID = textArgument(id, "id");
        if (storeID.empty()) {
            throw py::value_error("a store id must not be empty");
        }
        const std::optional<std::string> rootDir = pathArgument(root);
        const std::optional<std::string> cryptKey = optionalKeyMaterial(key);
        const std::optional<uint32_t> expireSeconds = secondsArgument(expire);
        if (readOnly && expireSeconds) {
            throw py::value_error("expire= switches expiry on, which writes: not with read_only=True");
        }
        uint32_t mode = multiProcess ? VORN_MULTI_PROCESS : VORN_SINGLE_PROCESS;
        if (readOnly) {
            mode |= VORN_READ_ONLY;
        }
        py::gil_scoped_release nogil;
        m_open = openStore(storeID, rootDir, mode, cryptKey, aes256);
        m_info = m_open;
        if (expireSeconds) {
            bool enabled = false;
            {
                std::shared_lock<std::shared_mutex> gate(m_open->gate);
                t_lastProblem.clear();
                enabled = m_open->vorn->enableAutoKeyExpire(*expireSeconds);
            }
            if (!enabled) {
                std::string message = withReason("cannot switch key expiry on for " + m_open->describe());
                std::lock_guard<std::mutex> registry(g_registry);
                releaseUser(m_open);
                fail(ErrorKind::Store, message);
            }
        }
    }

    ~Store() {
        if (!m_closed && m_open) {
            if (g_exited.load() || interpreterFinalizing()) {
                return; // the exit hook has closed every store
            }
            close();
        }
    }

    void close() {
        if (m_closed) {
            return;
        }
        m_closed = true;
        std::shared_ptr<OpenStore> open = std::move(m_open);
        if (!open || g_exited.load()) {
            return;
        }
        py::gil_scoped_release nogil;
        std::lock_guard<std::mutex> registry(g_registry);
        releaseUser(open);
    }

    bool closed() const { return m_closed; }
    const std::string &id() const { return m_info->id; }
    py::object root() const { return m_info->root ? py::object(py::str(*m_info->root)) : py::object(py::none()); }
    bool readOnly() const { return m_info->readOnly(); }
    bool multiProcess() const { return (m_info->mode & VORN_MULTI_PROCESS) != 0; }

    std::string repr() const { return "<corvane_vorn.Store " + m_info->describe() + (m_closed ? " (closed)>" : ">"); }

    // ---- Mapping protocol ----

    py::object getItem(py::handle key) {
        const std::string k = keyArgument(key);
        py::object value = lookupTextOrBytes(k);
        if (value.is_none()) {
            raiseKeyError(k);
        }
        return value;
    }

    py::object get(py::handle key, py::object defaultValue) {
        const std::string k = keyArgument(key);
        py::object value = lookupTextOrBytes(k);
        return value.is_none() ? defaultValue : value;
    }

    void setItem(py::handle key, py::handle value) {
        const std::string k = keyArgument(key);
        if (PyUnicode_Check(value.ptr())) {
            const std::string text = textArgument(value, "value");
            write(k, [&](VORN *v) { return v->set(text, k); });
        } else if (PyObject_CheckBuffer(value.ptr())) {
            std::string bytes = bytesArgument(value, "value");
            write(k, [&](VORN *v) { return v->set(asBuffer(bytes), k); });
        } else {
            throw py::type_error(std::string("a mapping value is str or bytes, not ") + Py_TYPE(value.ptr())->tp_name +
                                 " (use the typed setters, e.g. set_int64)");
        }
    }

    void delItem(py::handle key) {
        const std::string k = keyArgument(key);
        refuseIfReadOnly();
        const Lookup result = withStore(open(), [&](VORN *v) {
            if (v->removeValueForKey(k)) {
                return Lookup::Found;
            }
            return v->containsKey(k) ? Lookup::WrongType : Lookup::Absent;
        });
        if (result == Lookup::Absent) {
            raiseKeyError(k);
        }
        if (result == Lookup::WrongType) {
            fail(ErrorKind::Store, withReason(state().describe() + ": removing key '" + k + "' was refused"));
        }
    }

    bool contains(py::handle key) {
        if (!PyUnicode_Check(key.ptr()) && !PyBytes_Check(key.ptr())) {
            return false;
        }
        if (PyObject_Length(key.ptr()) == 0) {
            return false;
        }
        const std::string k = keyArgument(key);
        return withStore(open(), [&](VORN *v) { return v->containsKey(k); });
    }

    size_t length() {
        return withStore(open(), [](VORN *v) { return v->count(true); });
    }

    py::list keys() {
        std::vector<std::string> all = withStore(open(), [](VORN *v) { return v->allKeys(true); });
        py::list result;
        for (const auto &k : all) {
            result.append(textOrBytes(k));
        }
        return result;
    }

    py::iterator iter() { return py::iter(keys()); }

    // ---- Typed setters ----

    template <typename T> void setScalar(py::handle key, T value, py::handle expire) {
        const std::string k = keyArgument(key);
        const std::optional<uint32_t> seconds = secondsArgument(expire);
        writeExpiring(k, seconds, [&](VORN *v, const uint32_t *duration) {
            return duration ? v->set(value, k, *duration) : v->set(value, k);
        });
    }

    void setInteger32(py::handle key, py::handle value, py::handle expire) {
        setScalar<int32_t>(key, integerArgument<int32_t>(value, "int32"), expire);
    }
    void setUnsigned32(py::handle key, py::handle value, py::handle expire) {
        setScalar<uint32_t>(key, integerArgument<uint32_t>(value, "uint32"), expire);
    }
    void setInteger64(py::handle key, py::handle value, py::handle expire) {
        setScalar<int64_t>(key, integerArgument<int64_t>(value, "int64"), expire);
    }
    void setUnsigned64(py::handle key, py::handle value, py::handle expire) {
        setScalar<uint64_t>(key, integerArgument<uint64_t>(value, "uint64"), expire);
    }
    void setFloat(py::handle key, double value, py::handle expire) {
        const float narrowed = static_cast<float>(value);
        if (std::isfinite(value) && !std::isfinite(narrowed)) {
            PyErr_SetString(PyExc_OverflowError, "value out of range for a 32-bit float");
            throw py::error_already_set();
        }
        setScalar<float>(key, narrowed, expire);
    }

    void setString(py::handle key, py::handle value, py::handle expire) {
        const std::string k = keyArgument(key);
        const std::string text = textArgument(value, "value");
        const std::optional<uint32_t> seconds = secondsArgument(expire);
        writeExpiring(k, seconds, [&](VORN *v, const uint32_t *duration) {
            return duration ? v->set(text, k, *duration) : v->set(text, k);
        });
    }

    void setBytes(py::handle key, py::handle value, py::handle expire) {
        const std::string k = keyArgument(key);
        std::string bytes = bytesArgument(value, "value");
        const std::optional<uint32_t> seconds = secondsArgument(expire);
        writeExpiring(k, seconds, [&](VORN *v, const uint32_t *duration) {
            return duration ? v->set(asBuffer(bytes), k, *duration) : v->set(asBuffer(bytes), k);
        });
    }

    void setStrings(py::handle key, py::handle value, py::handle expire) {
        const std::string k = keyArgument(key);
        if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) {
            throw py::type_error("value must be an iterable of str or bytes items, not a single str or bytes");
        }
        std::vector<std::string> items;
        for (py::handle item : py::iter(value)) {
            items.push_back(textOrBytesArgument(item, "an item"));
        }
        const std::optional<uint32_t> seconds = secondsArgument(expire);
        writeExpiring(k, seconds, [&](VORN *v, const uint32_t *duration) {
            return duration ? v->set(items, k, *duration) : v->set(items, k);
        });
    }

    // ---- Typed getters ----
    // Absent (or expired): `defaultValue`, or KeyError when none was given.
    // Present but not decodable as the type: TypeError.

    template <typename T, typename Getter>
    py::object getScalar(py::handle key, py::object defaultValue, Getter getter) {
        const std::string k = keyArgument(key);
        T value{};
        const Lookup result = withStore(open(), [&](VORN *v) {
            SharedHold hold(v);
            bool has = false;
            value = (v->*getter)(k, T{}, &has);
            return has ? Lookup::Found : (v->containsKey(k) ? Lookup::WrongType : Lookup::Absent);
        });
        return typedResult(k, result, defaultValue, [&] { return py::cast(value); });
    }

    py::object getString(py::handle key, py::object defaultValue) {
        const std::string k = keyArgument(key);
        std::string value;
        const Lookup result = withStore(open(), [&](VORN *v) {
            SharedHold hold(v);
            return v->getString(k, value) ? Lookup::Found : (v->containsKey(k) ? Lookup::WrongType : Lookup::Absent);
        });
        return typedResult(k, result, defaultValue, [&] { return utf8Text(value); });
    }

    py::object getBytes(py::handle key, py::object defaultValue) {
        const std::string k = keyArgument(key);
        std::string value;
        const Lookup result = withStore(open(), [&](VORN *v) {
            SharedHold hold(v);
            vorn::VornBuffer buffer;
            if (v->getBytes(k, buffer)) {
                value.assign(static_cast<const char *>(buffer.data()), buffer.size());
                return Lookup::Found;
            }
            return v->containsKey(k) ? Lookup::WrongType : Lookup::Absent;
        });
        return typedResult(k, result, defaultValue, [&] { return py::bytes(value); });
    }

    py::object getStrings(py::handle key, py::object defaultValue) {
        const std::string k = keyArgument(key);
        std::vector<std::string> value;
        const Lookup result = withStore(open(), [&](VORN *v) {
            SharedHold hold(v);
            return v->getVector(k, value) ? Lookup::Found : (v->containsKey(k) ? Lookup::WrongType : Lookup::Absent);
        });
        return typedResult(k, result, defaultValue, [&] {
            py::list items;
            for (const auto &item : value) {
                items.append(textOrBytes(item));
            }
            return py::object(items);
        });
    }

    // ---- Store operations ----

    void sync() {
        withStore(open(), [](VORN *v) { v->sync(vorn::SyncFlag::Sync); });
    }

    void trim() {
        refuseIfReadOnly();
        withStore(open(), [](VORN *v) { v->trim(); });
    }

    void clear(bool keepSpace) {
        refuseIfReadOnly();
        withStore(open(), [&](VORN *v) { v->clearAll(keepSpace); });
    }

    void rekey(py::handle key, bool aes256) {
        const std::optional<std::string> material = optionalKeyMaterial(key);
        refuseIfReadOnly();
        const std::string newKey = material.value_or(std::string());
        const auto open = this->open();
        py::gil_scoped_release nogil;
        // g_registry first: the key recorded for later opens changes with the store's.
        std::lock_guard<std::mutex> registry(g_registry);
        std::shared_lock<std::shared_mutex> gate(open->gate);
        if (!open->vorn) {
            fail(ErrorKind::Closed, open->describe() + " is closed");
        }
        t_lastProblem.clear();
        if (!open->vorn->reKey(newKey, aes256)) {
            fail(ErrorKind::Store, withReason("cannot re-key " + open->describe()));
        }
        open->cryptKey = newKey;
        open->aes256 = !newKey.empty() && aes256;
    }

    void removeValues(py::handle keys) {
        std::vector<std::string> all;
        for (py::handle key : py::iter(keys)) {
            all.push_back(keyArgument(key));
        }
        refuseIfReadOnly();
        const bool removed = withStore(open(), [&](VORN *v) { return v->removeValuesForKeys(all); });
        if (!removed) {
            fail(ErrorKind::Store, withReason(state().describe() + ": removing keys was refused"));
        }
    }

    void expireEnable(py::handle seconds) {
        const uint32_t duration = integerArgument<uint32_t>(seconds, "an expiry duration in seconds (uint32)");
        refuseIfReadOnly();
        if (!withStore(open(), [&](VORN *v) { return v->enableAutoKeyExpire(duration); })) {
            fail(ErrorKind::Store, withReason("cannot switch key expiry on for " + state().describe()));
        }
    }

    void expireDisable() {
        refuseIfReadOnly();
        if (!withStore(open(), [](VORN *v) { return v->disableAutoKeyExpire(); })) {
            fail(ErrorKind::Store, withReason("cannot switch key expiry off for " + state().describe()));
        }
    }

    uint32_t expireTime(py::handle key) {
        const std::string k = keyArgument(key);
        return withStore(open(), [&](VORN *v) { return v->getExpireTimeForKey(k); });
    }

    void backup(py::handle directory) {
        const std::string dir = *pathArgument(directory);
        const std::shared_ptr<OpenStore> open = this->open();
        backupStore(open->id, dir, open->root);
    }

    void restore(py::handle directory) {
        const std::string dir = *pathArgument(directory);
        refuseIfReadOnly();
        const std::shared_ptr<OpenStore> open = this->open();
        restoreStore(open->id, dir, open->root);
    }

    VORN::Inspection inspect() {
        return withStore(open(), [](VORN *v) { return v->inspect(); });
    }

    void exitContext() {
        if (m_closed) {
            return;
        }
        if (!readOnly()) {
            sync();
        }
        close();
    }

    // ---- Static operations on stores by id ----

    static void backupStore(const std::string &id, const std::string &dir, const std::optional<std::string> &root) {
        py::gil_scoped_release nogil;
        bool done = false;
        {
            std::lock_guard<std::mutex> registry(g_registry);
            requireLibrary(root);
            t_lastProblem.clear();
            done = root ? VORN::nameSpace(*root).backupOneToDirectory(id, dir)
                        : VORN::backupOneToDirectory(id, dir, nullptr);
        }
        if (!done) {
            fail(ErrorKind::Store, withReason("cannot back up store '" + id + "' to " + dir));
        }
    }

    static void restoreStore(const std::string &id, const std::string &dir, const std::optional<std::string> &root) {
        py::gil_scoped_release nogil;
        bool done = false;
        {
            std::lock_guard<std::mutex> registry(g_registry);
            requireLibrary(root);
            t_lastProblem.clear();
            done = root ? VORN::nameSpace(*root).restoreOneFromDirectory(id, dir)
                        : VORN::restoreOneFromDirectory(id, dir, nullptr);
        }
        if (!done) {
            fail(ErrorKind::Store, withReason("cannot restore store '" + id + "' from " + dir));
        }
    }

private:
    // The library's first use under a root: the global one needs initialize().
    // g_registry held, GIL not held.
    static void requireLibrary(const std::optional<std::string> &root) {
        if (g_exited.load()) {
            fail(ErrorKind::Store, "the library has shut down (the interpreter is exiting)");
        }
        if (!root && !g_globalRoot) {
            fail(ErrorKind::Value, "no root given and corvane_vorn.initialize(root) was not called");
        }
        prepareLibrary();
        if (root) {
            VORN::nameSpace(*root); // initialises the library when nothing else has
        }
        libraryReady();
    }

    static std::shared_ptr<OpenStore> openStore(const std::string &id, const std::optional<std::string> &root,
                                                uint32_t mode, const std::optional<std::string> &cryptKey,
                                                bool aes256) {
        std::lock_guard<std::mutex> registry(g_registry);
        requireLibrary(root);
        auto describe = [&] {
            return "store '" + id + "'" + (root ? " under " + *root : std::string(" under the global root"));
        };
        t_lastProblem.clear();
        if (mode & VORN_READ_ONLY) {
            // Read-only files cannot be created: say so instead of "cannot open".
            const bool exists = root ? VORN::nameSpace(*root).checkExist(id) : VORN::checkExist(id, nullptr);
            if (!exists) {
                fail(ErrorKind::NotFound, "no " + describe() + " (read_only=True opens only an existing store)");
            }
        }
        VORNConfig config;
        config.mode = static_cast<VORNMode>(mode);
        config.cryptKey = cryptKey ? &*cryptKey : nullptr;
        config.aes256 = cryptKey && aes256;
        VORN *vorn = root ? VORN::nameSpace(*root).vornWithID(id, config) : VORN::vornWithID(id, config);
        if (!vorn) {
            fail(ErrorKind::Store, withReason("cannot open " + describe()));
        }

        auto found = g_open.find(vorn);
        if (found != g_open.end()) {
            // The library hands back the open instance and ignores this call's
            // options: accept only the options it was opened with.
            const auto &open = found->second;
            if (open->mode != mode) {
                fail(ErrorKind::Value, describe() + " is already open in this process with other options "
                                                    "(multi_process/read_only must match)");
            }
            if (open->cryptKey != cryptKey.value_or(std::string()) || open->aes256 != (cryptKey && aes256)) {
                fail(ErrorKind::WrongKey, "the key given does not open " + describe());
            }
            open->users++;
            return open;
        }

        if (!vorn->isFileValid()) {
            std::string message = withReason("cannot open " + describe() + ": its data file is not usable");
            vorn->close();
            fail(ErrorKind::Store, message);
        }
        if (vorn->inspect().keyMismatch) {
            vorn->close();
            fail(ErrorKind::WrongKey,
                 "the key given does not open " + describe() +
                     (cryptKey ? " (a wrong key, or a key for a plain store)" : " (it is encrypted: give its key)"));
        }
        auto open = std::make_shared<OpenStore>();
        open->id = id;
        open->root = root;
        open->mode = mode;
        open->vorn = vorn;
        open->users = 1;
        open->cryptKey = cryptKey.value_or(std::string());
        open->aes256 = cryptKey && aes256;
        g_open.emplace(vorn, open);
        return open;
    }

    static vorn::VornBuffer asBuffer(std::string &bytes) {
        return vorn::VornBuffer(bytes.data(), bytes.size(), vorn::VornBufferNoCopy);
    }

    const std::shared_ptr<OpenStore> &open() const {
        if (m_closed || !m_open) {
            fail(ErrorKind::Closed, (m_info ? m_info->describe() : std::string("the store")) + " is closed");
        }
        return m_open;
    }
    const OpenStore &state() const { return *m_info; }

    void refuseIfReadOnly() const {
        if (state().readOnly()) {
            fail(ErrorKind::ReadOnly, state().describe() + " is opened read-only");
        }
    }

    template <typename Fn> void write(const std::string &key, Fn &&fn) {
        writeExpiring(key, std::nullopt, [&](VORN *v, const uint32_t *) { return fn(v); });
    }

    // A setter call; with a duration, only while expiry is on (the library
    // would store the value without one and it would never expire).
    template <typename Fn> void writeExpiring(const std::string &key, std::optional<uint32_t> seconds, Fn &&fn) {
        refuseIfReadOnly();
        enum class Outcome { Stored, Refused, ExpiryOff };
        const Outcome outcome = withStore(open(), [&](VORN *v) {
            if (seconds && !v->inspect().keyExpire) {
                return Outcome::ExpiryOff;
            }
            return fn(v, seconds ? &*seconds : nullptr) ? Outcome::Stored : Outcome::Refused;
        });
        if (outcome == Outcome::ExpiryOff) {
            fail(ErrorKind::Value, "expire= needs key expiry on for " + state().describe() +
                                       " (Store(..., expire=N) or expire_enable())");
        }
        if (outcome == Outcome::Refused) {
            fail(ErrorKind::Store, withReason(state().describe() + ": writing key '" + key + "' was refused"));
        }
    }

    // The mapping read: str when the value is a length-prefixed UTF-8 string,
    // bytes when it is a length-prefixed byte string of other bytes, None when
    // the key is absent; TypeError for any other shape.
    py::object lookupTextOrBytes(const std::string &key) {
        vorn::VornBuffer raw = withStore(open(), [&](VORN *v) { return v->rawValue(key); });
        if (raw.size() == 0) {
            return py::none(); // a stored value always has bytes
        }
        size_t offset = 0;
        size_t length = 0;
        if (!lengthPrefixed(raw, offset, length)) {
            PyErr_Format(PyExc_TypeError,
                         "the value of %R is not a string or byte string (read it with its typed getter)",
                         textOrBytes(key).ptr());
            throw py::error_already_set();
        }
        return textOrBytes(static_cast<const char *>(raw.data()) + offset, length);
    }

    template <typename Make>
    py::object typedResult(const std::string &key, Lookup result, const py::object &defaultValue, Make &&make) {
        if (result == Lookup::Found) {
            return make();
        }
        if (result == Lookup::WrongType) {
            PyErr_Format(PyExc_TypeError, "the value of %R does not decode as the type asked for",
                         textOrBytes(key).ptr());
            throw py::error_already_set();
        }
        if (!defaultValue.is(missing())) {
            return defaultValue;
        }
        raiseKeyError(key);
    }

public:
    // The marker for "no default given" of the typed getters.
    static py::object &missing() {
        static py::object *marker = new py::object(py::module_::import("builtins").attr("object")());
        return *marker;
    }

private:
    std::shared_ptr<OpenStore> m_open; // null once closed
    // The record this handle was opened on, kept after close() for the
    // properties and messages (its id, root and mode never change).
    std::shared_ptr<const OpenStore> m_info;
    bool m_closed = false;
};

// ---- Module functions ----

void initialize(py::handle root, int logLevel) {
    const std::optional<std::string> rootDir = pathArgument(root);
    if (!rootDir) {
        throw py::value_error("initialize() needs a root directory");
    }
    const VORNLogLevel level = libraryLevel(logLevel);
    g_wantedLevel = level;
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> registry(g_registry);
    if (g_exited.load()) {
        fail(ErrorKind::Store, "the library has shut down (the interpreter is exiting)");
    }
    if (g_globalRoot && *g_globalRoot != *rootDir) {
        fail(ErrorKind::Value, "the global root is already " + *g_globalRoot + " (initialize() fixes it once)");
    }
    if (!g_globalRoot && !VORN::getRootDir().empty() && VORN::getRootDir() != *rootDir) {
        fail(ErrorKind::Value, "the process already set the global root to " + VORN::getRootDir());
    }
    VORN::initializeVORN(*rootDir, level, &g_handler_instance);
    g_globalRoot = *rootDir;
    g_handlerInstalled = true;
}

void setLogLevel(int logLevel) {
    const VORNLogLevel level = libraryLevel(logLevel);
    g_wantedLevel = level;
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> registry(g_registry);
    if (g_handlerInstalled) {
        VORN::setLogLevel(level);
    }
}

void onContentChanged(py::object callback) {
    if (!callback.is_none() && !PyCallable_Check(callback.ptr())) {
        throw py::type_error("the callback must be callable or None");
    }
    if (!g_changeCallback) {
        g_changeCallback = new py::object();
    }
    *g_changeCallback = std::move(callback);
}

// Set in a child forked while stores were open: the inherited instances share
// their flock state with the parent, so the child leaves them alone.
bool g_inheritedStores = false;

// os.register_at_fork(after_in_child=...). Only the forking thread lives on in
// the child, and a lock another thread held stays held: take none. The
// child's Python handles stop working ("closed") instead of using the
// parent's instances behind its locks.
void afterForkInChild() {
    for (auto &pair : g_open) {
        pair.second->vorn = nullptr;
        g_inheritedStores = true;
    }
    g_open.clear();
}

// atexit: flush and close every store while the interpreter still runs.
void shutdown() {
    if (g_exited.exchange(true)) {
        return;
    }
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> registry(g_registry);
    for (auto &pair : g_open) {
        std::unique_lock<std::shared_mutex> gate(pair.second->gate);
        pair.second->vorn = nullptr; // onExit destroys it
    }
    g_open.clear();
    if (g_handlerInstalled && !g_inheritedStores) {
        VORN::onExit();
        VORN::unRegisterHandler();
    }
}

} // namespace

PYBIND11_MODULE(_corvane_vorn, m) {
    m.doc() = "Binding of the corvane_vorn key-value store; use the corvane_vorn package.";
#ifdef VORN_PYTHON_VERSION
    m.attr("__version__") = VORN_PYTHON_VERSION;
#endif

    g_logger = new py::object(py::module_::import("logging").attr("getLogger")("corvane_vorn"));

    // Kept for the whole process (see g_logger).
    auto &error = *new py::exception<BindingError>(m, "Error", PyExc_OSError);
    auto &wrongKey = *new py::exception<BindingError>(m, "WrongKeyError", error.ptr());
    auto &readOnly = *new py::exception<BindingError>(m, "ReadOnlyError", error.ptr());
    g_errorType = error.ptr();
    g_wrongKeyErrorType = wrongKey.ptr();
    g_readOnlyErrorType = readOnly.ptr();
    error.doc() = "A store operation failed; the message says why (the library's log line when it gave one).";
    wrongKey.doc() = "The key given does not open the store (a wrong key, no key for an encrypted store, "
                     "or a key for a plain one).";
    readOnly.doc() = "A write to a store opened with read_only=True.";

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const BindingError &e) {
            switch (e.kind) {
            case ErrorKind::WrongKey:
                PyErr_SetString(g_wrongKeyErrorType, e.message.c_str());
                break;
            case ErrorKind::ReadOnly:
                PyErr_SetString(g_readOnlyErrorType, e.message.c_str());
                break;
            case ErrorKind::NotFound:
                PyErr_SetString(PyExc_FileNotFoundError, e.message.c_str());
                break;
            case ErrorKind::Closed:
            case ErrorKind::Value:
                PyErr_SetString(PyExc_ValueError, e.message.c_str());
                break;
            case ErrorKind::Store:
                PyErr_SetString(g_errorType, e.message.c_str());
                break;
            }
        }
    });

    py::class_<VORN::Inspection>(m, "Inspection", "A snapshot of a store's state (Store.inspect()).")
        .def_readonly("key_count", &VORN::Inspection::keyCount, "Keys in the index, expired ones included.")
        .def_readonly("actual_size", &VORN::Inspection::actualSize, "Bytes the record stream takes.")
        .def_readonly("file_size", &VORN::Inspection::fileSize, "Mapped size of the data file.")
        .def_readonly("sequence", &VORN::Inspection::sequence, "The meta record's rewrite counter.")
        .def_readonly("meta_version", &VORN::Inspection::metaVersion, "The meta record's format version.")
        .def_readonly("meta_flags", &VORN::Inspection::metaFlags, "The meta record's flags (bit 0: key expiry).")
        .def_readonly("encrypted", &VORN::Inspection::encrypted, "The store has a cipher.")
        .def_readonly("key_expire", &VORN::Inspection::keyExpire, "Values carry an expiry time.")
        .def_readonly("read_only", &VORN::Inspection::readOnly, "Opened with read_only=True.")
        .def_readonly("key_mismatch", &VORN::Inspection::keyMismatch, "The key given does not open the store.")
        .def("__repr__", [](const VORN::Inspection &i) {
            return "Inspection(key_count=" + std::to_string(i.keyCount) +
                   ", actual_size=" + std::to_string(i.actualSize) + ", file_size=" + std::to_string(i.fileSize) +
                   ", sequence=" + std::to_string(i.sequence) + ", meta_version=" + std::to_string(i.metaVersion) +
                   ", meta_flags=" + std::to_string(i.metaFlags) + ", encrypted=" + (i.encrypted ? "True" : "False") +
                   ", key_expire=" + (i.keyExpire ? "True" : "False") +
                   ", read_only=" + (i.readOnly ? "True" : "False") +
                   ", key_mismatch=" + (i.keyMismatch ? "True" : "False") + ")";
        });

    py::object missing = Store::missing();
    py::object none = py::none();

    py::class_<Store>(
        m, "Store",
        "A store under a root directory, and a mutable mapping of its str/bytes values.\n\n"
        "Store(id, root=None, *, multi_process=False, read_only=False, key=None, aes256=False, "
        "expire=None)\n"
        "root None: the root of initialize(). key: str or bytes, cut or zero-padded to 16 bytes (32 with aes256). "
        "expire: switch key expiry on with that default duration in seconds.\n"
        "Opening raises WrongKeyError, FileNotFoundError (read_only, no such store) or Error.")
        .def(py::init<py::handle, py::handle, bool, bool, py::handle, bool, py::handle>(), py::arg("id"),
             py::arg("root") = none, py::kw_only(), py::arg("multi_process") = false, py::arg("read_only") = false,
             py::arg("key") = none, py::arg("aes256") = false, py::arg("expire") = none)
        .def_property_readonly("closed", &Store::closed)
        .def_property_readonly("id", &Store::id)
        .def_property_readonly("root", &Store::root)
        .def_property_readonly("read_only", &Store::readOnly)
        .def_property_readonly("multi_process", &Store::multiProcess)
        .def("__repr__", &Store::repr)
        .def("close", &Store::close, "Closes this handle (without syncing); the store closes with its last handle.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Store &s, py::args) { s.exitContext(); })
        // Mapping protocol
        .def("__getitem__", &Store::getItem, py::arg("key"))
        .def("__setitem__", &Store::setItem, py::arg("key"), py::arg("value"))
        .def("__delitem__", &Store::delItem, py::arg("key"))
        .def("__contains__", &Store::contains, py::arg("key"))
        .def("__len__", &Store::length)
        .def("__iter__", &Store::iter)
        .def("keys", &Store::keys, "A list of the keys (expired ones dropped): str when UTF-8, else bytes.")
        .def("get", &Store::get, py::arg("key"), py::arg("default") = none)
        // Typed setters
        .def("set_bool", &Store::setScalar<bool>, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_int32", &Store::setInteger32, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_uint32", &Store::setUnsigned32, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_int64", &Store::setInteger64, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_uint64", &Store::setUnsigned64, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_float", &Store::setFloat, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_double", &Store::setScalar<double>, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_string", &Store::setString, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_bytes", &Store::setBytes, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        .def("set_strings", &Store::setStrings, py::arg("key"), py::arg("value"), py::arg("expire") = none)
        // Typed getters
        .def(
            "get_bool", [](Store &s, py::handle k, py::object d) { return s.getScalar<bool>(k, d, &VORN::getBool); },
            py::arg("key"), py::arg("default") = missing)
        .def(
            "get_int32",
            [](Store &s, py::handle k, py::object d) { return s.getScalar<int32_t>(k, d, &VORN::getInt32); },
            py::arg("key"), py::arg("default") = missing)
        .def(
            "get_uint32",
            [](Store &s, py::handle k, py::object d) { return s.getScalar<uint32_t>(k, d, &VORN::getUInt32); },
            py::arg("key"), py::arg("default") = missing)
        .def(
            "get_int64",
            [](Store &s, py::handle k, py::object d) { return s.getScalar<int64_t>(k, d, &VORN::getInt64); },
            py::arg("key"), py::arg("default") = missing)
        .def(
            "get_uint64",
            [](Store &s, py::handle k, py::object d) { return s.getScalar<uint64_t>(k, d, &VORN::getUInt64); },
            py::arg("key"), py::arg("default") = missing)
        .def(
            "get_float", [](Store &s, py::handle k, py::object d) { return s.getScalar<float>(k, d, &VORN::getFloat); },
            py::arg("key"), py::arg("default") = missing)
        .def(
            "get_double",
            [](Store &s, py::handle k, py::object d) { return s.getScalar<double>(k, d, &VORN::getDouble); },
            py::arg("key"), py::arg("default") = missing)
        .def("get_string", &Store::getString, py::arg("key"), py::arg("default") = missing)
        .def("get_bytes", &Store::getBytes, py::arg("key"), py::arg("default") = missing)
        .def("get_strings", &Store::getStrings, py::arg("key"), py::arg("default") = missing)
        // Store operations
        .def("sync", &Store::sync, "Waits until both files are on disk (writes reach other processes without it).")
        .def("trim", &Store::trim, "Compacts the records and shrinks the data file.")
        .def("clear", &Store::clear, py::arg("keep_space") = false,
             "Removes every key; the data file goes back to its opening size unless keep_space.")
        .def("rekey", &Store::rekey, py::arg("key"), py::arg("aes256") = false,
             "Rewrites the store under key (None or empty: in clear). Other processes must reopen with it.")
        .def("remove_values", &Store::removeValues, py::arg("keys"),
             "Removes several keys in one rewrite; absent ones are ignored.")
        .def("expire_enable", &Store::expireEnable, py::arg("seconds") = 0,
             "Switches key expiry on (or sets its default duration); seconds 0: never by default.")
        .def("expire_disable", &Store::expireDisable, "Switches key expiry off; expired keys are dropped.")
        .def("expire_time", &Store::expireTime, py::arg("key"),
             "Expiry time in seconds since the epoch; 0 when it never expires, is absent, or expiry is off.")
        .def("backup", &Store::backup, py::arg("dir"), "Copies the store's two files into dir.")
        .def("restore", &Store::restore, py::arg("dir"), "Puts a backup's files back; the store reloads them.")
        .def("inspect", &Store::inspect, "A snapshot of the store's state (an Inspection).");

    m.def(
        "backup",
        [](py::handle id, py::handle dir, py::handle root) {
            Store::backupStore(textArgument(id, "id"), *pathArgument(dir), pathArgument(root));
        },
        py::arg("id"), py::arg("dir"), py::arg("root") = none, "Copies a store's two files into dir, open or not.");
    m.def(
        "restore",
        [](py::handle id, py::handle dir, py::handle root) {
            Store::restoreStore(textArgument(id, "id"), *pathArgument(dir), pathArgument(root));
        },
        py::arg("id"), py::arg("dir"), py::arg("root") = none, "Puts a backup's files back; an open store reloads.");
    m.def("initialize", &initialize, py::arg("root"), py::arg("log_level") = 30,
          "Fixes the global root (once per process) and the lowest logging level of the library's lines.");
    m.def("set_log_level", &setLogLevel, py::arg("level"),
          "The lowest logging level of the library's lines passed on.");
    m.def("on_content_changed", &onContentChanged, py::arg("callback"),
          "callback(store_id), or None: a multi-process store reloaded another process's changes or a restore.\n"
          "It runs inside the store operation: it must not use a store.");
    m.def("_shutdown", &shutdown);
    m.def("_after_fork_in_child", &afterForkInChild);

    py::module_::import("atexit").attr("register")(m.attr("_shutdown"));
    py::module_ os = py::module_::import("os");
    if (py::hasattr(os, "register_at_fork")) {
        os.attr("register_at_fork")(py::arg("after_in_child") = m.attr("_after_fork_in_child"));
    }
}
