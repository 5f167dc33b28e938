#include "py/config.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/dotenv.h"
#include "core/envvars.h"
#include "py/errors.h"

namespace vantorel::py {

namespace {

// ---------------------------------------------------------------- helpers

// The UTF-8 text of a str; nullopt with UnicodeEncodeError for lone surrogates.
std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

// str.upper of the built-in str type, so that a str subclass cannot change it.
std::optional<std::string> upper_utf8(PyObject* text) {
    static PyObject* const upper_name = PyUnicode_InternFromString("upper");
    if (upper_name == nullptr) return std::nullopt;
    Ref upper = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), upper_name));
    if (!upper) return std::nullopt;
    Ref result = Ref::steal(PyObject_CallOneArg(upper.get(), text));
    if (!result) return std::nullopt;
    std::optional<std::string_view> utf8 = utf8_of(result.get());
    if (!utf8) return std::nullopt;
    return std::string(*utf8);
}

// The wording of the standard parser, naming the argument by name.
bool check_str(PyObject* value, const char* function, const char* argument) {
    if (PyUnicode_Check(value)) return true;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, argument,
                 Py_TYPE(value)->tp_name);
    return false;
}

bool check_str_or_none(PyObject* value, const char* function, const char* argument) {
    if (value == Py_None || PyUnicode_Check(value)) return true;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or None, not %.200s", function, argument,
                 Py_TYPE(value)->tp_name);
    return false;
}

PyObject* optional_str(const std::optional<std::string>& value) {
    if (!value) Py_RETURN_NONE;
    return str_from_utf8(*value).release();
}

// Type objects: the module is built once per process, so each is made once
// and kept.
PyObject* cached_type(PyObject*& slot, PyType_Spec* spec, const char* name) {
    if (slot == nullptr) slot = create_type(spec, name);
    return slot;
}

// ---------------------------------------------------------------- Credentials

struct CredentialsObject {
    PyObject_HEAD
    CredentialsData* data;
};

PyObject* g_credentials_type = nullptr;

CredentialsData& data_of(PyObject* self) noexcept { return *reinterpret_cast<CredentialsObject*>(self)->data; }

void credentials_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<CredentialsObject*>(self)->data;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* wrap_credentials(PyTypeObject* type, CredentialsData data) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<CredentialsObject*>(self.get())->data = new CredentialsData(std::move(data));
    return self.release();
}

PyObject* credentials_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"system", "user", "password", "driver", nullptr};
        PyObject* system = nullptr;
        PyObject* user = nullptr;
        PyObject* password = nullptr;
        PyObject* driver = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOO:Credentials", const_cast<char**>(keywords), &system,
                                         &user, &password, &driver))
            return nullptr;
        // The format makes all four optional so that they can be keyword-only;
        // the first three are required all the same.
        const std::pair<PyObject*, const char*> required[] = {
            {system, "system"}, {user, "user"}, {password, "password"}};
        for (const auto& [value, name] : required) {
            if (value == nullptr) {
                PyErr_Format(PyExc_TypeError, "Credentials() missing required keyword-only argument: '%s'", name);
                return nullptr;
            }
            if (!check_str(value, "Credentials", name)) return nullptr;
        }
        if (!check_str_or_none(driver, "Credentials", "driver")) return nullptr;

        CredentialsData data;
        auto system_text = utf8_of(system);
        if (!system_text) return nullptr;
        data.system.emplace(*system_text);
        auto user_text = utf8_of(user);
        if (!user_text) return nullptr;
        data.user.emplace(*user_text);
        auto password_text = utf8_of(password);
        if (!password_text) return nullptr;
        data.password = SecretString(*password_text);
        if (driver != Py_None) {
            auto driver_text = utf8_of(driver);
            if (!driver_text) return nullptr;
            data.driver.emplace(*driver_text);
        }
        return wrap_credentials(type, std::move(data));
    });
}

PyObject* credentials_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const CredentialsData& data = data_of(self);
        if (data.raw_dsn) return str_from_utf8("Credentials(raw_dsn=<redacted>)").release();
        auto field = [](const std::optional<std::string>& value) {
            return value ? "Some(" + quote_for_msg(*value) + ")" : std::string("None");
        };
        std::string text = "Credentials(system=" + field(data.system) + ", user=" + field(data.user) +
                           ", driver=" + field(data.driver) + ", password=<redacted>)";
        return str_from_utf8(text).release();
    });
}

PyObject* get_system(PyObject* self, void*) { return optional_str(data_of(self).system); }
PyObject* get_user(PyObject* self, void*) { return optional_str(data_of(self).user); }
PyObject* get_driver(PyObject* self, void*) { return optional_str(data_of(self).driver); }

PyObject* credentials_result(Result<CredentialsData> result) {
    if (!result) return raise(result.error());
    PyObject* type = credentials_type();
    if (type == nullptr) return nullptr;
    return wrap_credentials(reinterpret_cast<PyTypeObject*>(type), std::move(*result));
}

PyObject* credentials_from_dsn_method(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dsn", nullptr};
        PyObject* dsn = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_dsn", const_cast<char**>(keywords), &dsn))
            return nullptr;
        if (!check_str(dsn, "from_dsn", "dsn")) return nullptr;
        auto text = utf8_of(dsn);
        if (!text) return nullptr;
        Result<CredentialsData> data = credentials_from_dsn(*text);
        // The one failure is a fixed text that ends in "PWD=" and holds no
        // secret: masking would garble it into "PWD=***".
        if (!data) return raise(Exc::ConfigurationError, data.error().display());
        return credentials_result(std::move(data));
    });
}

PyObject* credentials_from_connection_string_method(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dsn", nullptr};
        PyObject* dsn = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_connection_string", const_cast<char**>(keywords),
                                         &dsn))
            return nullptr;
        if (!check_str(dsn, "from_connection_string", "dsn")) return nullptr;
        auto text = utf8_of(dsn);
        if (!text) return nullptr;
        return credentials_result(credentials_from_connection_string(*text));
    });
}

PyObject* credentials_from_env_method(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"client_code", "environment", nullptr};
        PyObject* client_code = nullptr;
        PyObject* environment = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:from_env", const_cast<char**>(keywords), &client_code,
                                         &environment))
            return nullptr;
        std::optional<CredentialsData> data = credentials_from_env(client_code, environment);
        if (!data) return nullptr;
        return new_credentials(std::move(*data));
    });
}

PyMethodDef kCredentialsMethods[] = {
    {"from_dsn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(credentials_from_dsn_method)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_dsn(dsn)\n--\n\n"
     "Credentials from a connection string of the keywords SYSTEM, UID, PWD and\n"
     "optionally DRIVER, in any case and order; other keywords are dropped and the\n"
     "last of a repeated keyword wins. The string is split at every \";\", braces\n"
     "included, so a braced value cannot hold a \";\" here: use\n"
     "from_connection_string for such a string."},
    {"from_env", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(credentials_from_env_method)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_env(client_code, environment=None)\n--\n\n"
     "Credentials from DB_SYSTEM_<CLIENT>_<ENV>, DB_USER_<CLIENT>_<ENV> and\n"
     "DB_PASSWORD_<CLIENT>_<ENV>, with CLIENT the upper-cased client code and ENV\n"
     "the upper-cased environment (default: APP_ENV, else \"dev\"). The driver\n"
     "comes from DB_DRIVER when set."},
    {"from_connection_string",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(credentials_from_connection_string_method)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_connection_string(dsn)\n--\n\n"
     "Credentials that connect with this connection string exactly as given."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kCredentialsGetSet[] = {
    {"system", get_system, nullptr, "Host name or address of the IBM i system, or None.", nullptr},
    {"user", get_user, nullptr, "User profile, or None.", nullptr},
    {"driver", get_driver, nullptr, "ODBC driver name, or None to detect an installed one.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kCredentialsSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Credentials(*, system, user, password, driver=None)\n--\n\n"
                    "Which IBM i system to reach, as which user, through which ODBC driver.\n\n"
                    "The password is kept in a secret holder: it has no getter and is\n"
                    "redacted in repr. system, user and driver can be None only for\n"
                    "credentials made by from_connection_string, since a raw connection\n"
                    "string may carry further keywords (PORT=, CCSID=, driver options)\n"
                    "that are not parsed.")},
    {Py_tp_new, reinterpret_cast<void*>(credentials_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(credentials_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(credentials_repr)},
    {Py_tp_methods, kCredentialsMethods},
    {Py_tp_getset, kCredentialsGetSet},
    {0, nullptr},
};

PyType_Spec kCredentialsSpec = {
    "vantorel.Credentials", sizeof(CredentialsObject), 0, Py_TPFLAGS_DEFAULT, kCredentialsSlots,
};

// ---------------------------------------------------------------- EngineOptions

struct EngineOptionsObject {
    PyObject_HEAD
    vantorel::EngineOptions* options;
};

PyObject* g_engine_options_type = nullptr;

vantorel::EngineOptions& options_ref(PyObject* self) noexcept {
    return *reinterpret_cast<EngineOptionsObject*>(self)->options;
}

enum class FieldKind { U64, U32, Text, Flag };

struct Field {
    const char* name;
    FieldKind kind;
    std::uint64_t vantorel::EngineOptions::*u64 = nullptr;
    std::uint32_t vantorel::EngineOptions::*u32 = nullptr;
};

using O = vantorel::EngineOptions;

// In the class's own order.
const Field kFields[] = {
    {"pool_size", FieldKind::U64, &O::pool_size},
    {"login_timeout", FieldKind::U32, nullptr, &O::login_timeout},
    {"query_timeout", FieldKind::U32, nullptr, &O::query_timeout},
    {"batch_size", FieldKind::U64, &O::batch_size},
    {"max_workers", FieldKind::U64, &O::max_workers},
    {"min_rows_per_worker", FieldKind::U64, &O::min_rows_per_worker},
    {"merge_chunk_size", FieldKind::U64, &O::merge_chunk_size},
    {"merge_max_workers", FieldKind::U64, &O::merge_max_workers},
    {"stream_batch_size", FieldKind::U64, &O::stream_batch_size},
    {"prefetch_batches", FieldKind::U64, &O::prefetch_batches},
    {"max_statement_units", FieldKind::U64, &O::max_statement_units},
    {"decimal_mode", FieldKind::Text},
    {"strip_char_padding", FieldKind::Flag},
};

// Converts value to the field's type and stores it; on error the options
// keep their previous value.
int store_field(const Field& field, PyObject* value, O& options) {
    switch (field.kind) {
        case FieldKind::U64:
        case FieldKind::U32: {
            Ref index = Ref::steal(PyNumber_Index(value));
            if (!index) return -1;
            const unsigned long long number = PyLong_AsUnsignedLongLong(index.get());
            if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
            if (field.kind == FieldKind::U64) {
                options.*field.u64 = number;
            } else {
                if (number > std::numeric_limits<std::uint32_t>::max()) {
                    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to a 32-bit unsigned int");
                    return -1;
                }
                options.*field.u32 = static_cast<std::uint32_t>(number);
            }
            return 0;
        }
        case FieldKind::Text: {
            if (!PyUnicode_Check(value)) {
                PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'", Py_TYPE(value)->tp_name);
                return -1;
            }
            auto text = utf8_of(value);
            if (!text) return -1;
            options.decimal_mode.assign(*text);
            return 0;
        }
        case FieldKind::Flag:
            if (!PyBool_Check(value)) {
                PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'bool'", Py_TYPE(value)->tp_name);
                return -1;
            }
            options.strip_char_padding = value == Py_True;
            return 0;
    }
    return 0;
}

PyObject* load_field(const Field& field, const O& options) {
    switch (field.kind) {
        case FieldKind::U64: return PyLong_FromUnsignedLongLong(options.*field.u64);
        case FieldKind::U32: return PyLong_FromUnsignedLong(options.*field.u32);
        case FieldKind::Text: return str_from_utf8(options.decimal_mode).release();
        case FieldKind::Flag: return PyBool_FromLong(options.strip_char_padding);
    }
    Py_RETURN_NONE;
}

PyObject* options_get(PyObject* self, void* closure) {
    return load_field(*static_cast<const Field*>(closure), options_ref(self));
}

int options_set(PyObject* self, PyObject* value, void* closure) {
    return guarded([&]() -> int {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        return store_field(*static_cast<const Field*>(closure), value, options_ref(self));
    });
}

void options_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<EngineOptionsObject*>(self)->options;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* wrap_options(PyTypeObject* type, const O& options) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<EngineOptionsObject*>(self.get())->options = new O(options);
    return self.release();
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Py_ssize_t positional = PyTuple_GET_SIZE(args);
        if (positional != 0) {
            PyErr_Format(PyExc_TypeError, "EngineOptions() takes 0 positional arguments but %zd were given",
                         positional);
            return nullptr;
        }
        O options;
        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                auto name = utf8_of(key);
                if (!name) return nullptr;
                const Field* field = nullptr;
                for (const Field& candidate : kFields) {
                    if (*name == candidate.name) field = &candidate;
                }
                if (field == nullptr)
                    return raise(CoreError::config("EngineOptions: opcion desconocida " + quote_for_msg(*name)));
                if (store_field(*field, value, options) < 0) return nullptr;
            }
        }
        return wrap_options(type, options);
    });
}

PyObject* options_from_env_method(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        Result<O> options = engine_options_from_env();
        if (!options) return raise(options.error());
        PyObject* type = engine_options_type();
        if (type == nullptr) return nullptr;
        return wrap_options(reinterpret_cast<PyTypeObject*>(type), *options);
    });
}

PyMethodDef kEngineOptionsMethods[] = {
    {"from_env", options_from_env_method, METH_NOARGS | METH_STATIC,
     "from_env()\n--\n\n"
     "The defaults, overridden by BATCH_SIZE, MAX_WORKERS, MIN_ROWS_PER_WORKER,\n"
     "MERGE_CHUNK_SIZE, MERGE_MAX_WORKERS, VANTOREL_MAX_STATEMENT_UNITS and\n"
     "VANTOREL_POOL_SIZE. A blank variable keeps the default; anything but an\n"
     "unsigned integer raises ConfigurationError."},
    {nullptr, nullptr, 0, nullptr},
};

#define VANTOREL_OPTION(index, doc) \
    {kFields[index].name, options_get, options_set, doc, const_cast<Field*>(&kFields[index])}

PyGetSetDef kEngineOptionsGetSet[] = {
    VANTOREL_OPTION(0, "Largest number of pooled connections (0 acts as 1)."),
    VANTOREL_OPTION(1, "Login timeout of new connections in seconds; 0 keeps the driver's default."),
    VANTOREL_OPTION(2, "Longest wait for each batch of a result stream in seconds; 0 means no limit."),
    VANTOREL_OPTION(3, "Largest number of rows per generated multi-row statement."),
    VANTOREL_OPTION(4, "Default limit of parallel workers of batch_execute and parallel_execute."),
    VANTOREL_OPTION(5, "Kept for plan_concurrency callers; no engine operation reads it."),
    VANTOREL_OPTION(6, "Rows per statement in table merge and per fetched batch in transfer."),
    VANTOREL_OPTION(7, "Default number of parallel workers of table merge."),
    VANTOREL_OPTION(8, "Default rows per batch of the result streams."),
    VANTOREL_OPTION(9, "Batches an asynchronous stream may fetch ahead of its consumer."),
    VANTOREL_OPTION(10,
                    "Length budget, in UTF-16 code units, of a generated multi-row statement.\n\n"
                    "It is where the halve-and-retry of oversized batches starts, to stay\n"
                    "below the length the driver manager rejects with SQLSTATE HY090.\n"
                    "0 means no cap: the limit is then found by halve-and-retry alone."),
    VANTOREL_OPTION(11, "\"float\" gives float, \"str\" gives str, anything else decimal.Decimal."),
    VANTOREL_OPTION(12, "Whether character values lose their trailing white space."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VANTOREL_OPTION

PyType_Slot kEngineOptionsSlots[] = {
    {Py_tp_doc, const_cast<char*>("EngineOptions(**kwargs)\n--\n\n"
                                  "The tunables of an engine. Each keyword names an attribute; the others\n"
                                  "keep their defaults. The engine copies the options when it is created.")},
    {Py_tp_new, reinterpret_cast<void*>(options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(options_dealloc)},
    {Py_tp_methods, kEngineOptionsMethods},
    {Py_tp_getset, kEngineOptionsGetSet},
    {0, nullptr},
};

PyType_Spec kEngineOptionsSpec = {
    "vantorel.EngineOptions", sizeof(EngineOptionsObject), 0, Py_TPFLAGS_DEFAULT, kEngineOptionsSlots,
};

// ---------------------------------------------------------------- load_dotenv

// Sets one variable through os.environ, which also updates the process
// environment, so Python code sees what the file set.
bool set_environ(PyObject* environ, const std::string& name, const std::string& value) {
    Ref key = str_from_utf8(name);
    Ref text = str_from_utf8(value);
    if (!key || !text) return false;
    return PyObject_SetItem(environ, key.get(), text.get()) == 0;
}

// Every failure here is the False result, never an exception.
bool load_dotenv_file(const std::optional<std::string>& path) {
    const std::optional<std::string> file = path ? path : find_dotenv();
    if (!file) return false;
    const std::optional<std::string> text = read_file(*file);
    if (!text) return false;
    const DotenvContents contents = parse_dotenv(*text);
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref environ = os ? Ref::steal(PyObject_GetAttrString(os.get(), "environ")) : Ref();
    if (!environ) {
        PyErr_Clear();
        return false;
    }
    for (const auto& [name, value] : contents.assignments) {
        if (env_text(name)) continue;  // an existing variable wins over the file
        if (!set_environ(environ.get(), name, value)) {
            PyErr_Clear();
            return false;
        }
    }
    return contents.complete;
}

PyObject* load_dotenv_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"path", nullptr};
        PyObject* path = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:load_dotenv", const_cast<char**>(keywords), &path))
            return nullptr;
        if (!check_str_or_none(path, "load_dotenv", "path")) return nullptr;
        std::optional<std::string> file;
        if (path != Py_None) {
            Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
            if (!encoded) {
                PyErr_Clear();
                Py_RETURN_FALSE;
            }
            std::string_view bytes(PyBytes_AS_STRING(encoded.get()),
                                   static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
            // A NUL would silently cut the path short.
            if (bytes.empty() || bytes.find('\0') != std::string_view::npos) Py_RETURN_FALSE;
            file.emplace(bytes);
        }
        return PyBool_FromLong(load_dotenv_file(file));
    });
}

PyMethodDef kLoadDotenvDef = {
    "load_dotenv", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_dotenv_function)),
    METH_VARARGS | METH_KEYWORDS,
    "load_dotenv(path=None)\n--\n\n"
    "Sets process environment variables from a .env file: the given path, or\n"
    "the first .env found in the current directory or one of its parents.\n"
    "Variables already set are left unchanged. Returns True when a file was\n"
    "found and read whole, False otherwise; problems with the file never raise.",
};

}  // namespace

// ---------------------------------------------------------------- interface

PyObject* credentials_type() { return cached_type(g_credentials_type, &kCredentialsSpec, "Credentials"); }

PyObject* engine_options_type() { return cached_type(g_engine_options_type, &kEngineOptionsSpec, "EngineOptions"); }

PyObject* make_credentials_type() { return Py_XNewRef(credentials_type()); }

PyObject* make_engine_options_type() { return Py_XNewRef(engine_options_type()); }

PyObject* make_load_dotenv() {
    Ref module_name = Ref::steal(PyUnicode_FromString("vantorel"));
    if (!module_name) return nullptr;
    return PyCFunction_NewEx(&kLoadDotenvDef, nullptr, module_name.get());
}

bool is_credentials(PyObject* object) noexcept {
    return object != nullptr && g_credentials_type != nullptr &&
           Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(g_credentials_type));
}

const CredentialsData& credentials_of(PyObject* object) noexcept { return data_of(object); }

PyObject* new_credentials(CredentialsData data) {
    PyObject* type = credentials_type();
    if (type == nullptr) return nullptr;
    return wrap_credentials(reinterpret_cast<PyTypeObject*>(type), std::move(data));
}

Result<SecretString> resolve_dsn(PyObject* credentials) { return vantorel::resolve_dsn(data_of(credentials)); }

std::optional<CredentialsData> credentials_from_env(PyObject* client_code, PyObject* environment) {
    if (!check_str(client_code, "from_env", "client_code")) return std::nullopt;
    if (environment == nullptr) environment = Py_None;
    if (!check_str_or_none(environment, "from_env", "environment")) return std::nullopt;

    Ref env_name;
    if (environment != Py_None) {
        env_name = Ref::borrow(environment);
    } else if (std::optional<std::string> app_env = env_text("APP_ENV")) {
        env_name = str_from_utf8(*app_env);
    } else {
        env_name = str_from_utf8("dev");
    }
    if (!env_name) return std::nullopt;
    std::optional<std::string> client = upper_utf8(client_code);
    if (!client) return std::nullopt;
    std::optional<std::string> env = upper_utf8(env_name.get());
    if (!env) return std::nullopt;

    Result<CredentialsData> data = vantorel::credentials_from_env(*client, *env);
    if (!data) {
        raise(data.error());
        return std::nullopt;
    }
    return std::move(*data);
}

bool is_engine_options(PyObject* object) noexcept {
    return object != nullptr && g_engine_options_type != nullptr &&
           Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(g_engine_options_type));
}

vantorel::EngineOptions options_of(PyObject* options_or_none) {
    if (!is_engine_options(options_or_none)) return {};
    return options_ref(options_or_none);
}

}  // namespace vantorel::py
