// Python arguments to ParamValues, on the caller's thread, so the database
// work never touches a Python object.
#include "py/convert.h"

#include <cstring>

#include "core/error.h"
#include "py/convert_internal.h"
#include "py/errors.h"

namespace vantorel::py {

// The str's own code points as UTF-16, with no UTF-8 step in between.
bool units_from_str(PyObject* str, std::u16string& out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) return false;
#endif
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: {
            const auto* src = static_cast<const Py_UCS1*>(data);
            out.resize(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = src[i];
            return true;
        }
        case PyUnicode_2BYTE_KIND:
            out.resize(static_cast<std::size_t>(n));
            std::memcpy(out.data(), data, static_cast<std::size_t>(n) * sizeof(char16_t));
            return true;
        default: {
            const auto* src = static_cast<const Py_UCS4*>(data);
            out.clear();
            out.reserve(static_cast<std::size_t>(n) + 8);
            for (Py_ssize_t i = 0; i < n; ++i) {
                const Py_UCS4 cp = src[i];
                if (cp < 0x10000) {
                    out.push_back(static_cast<char16_t>(cp));
                } else {
                    out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
                    out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
                }
            }
            return true;
        }
    }
}

namespace {


bool text_of_str(PyObject* str, ParamValue& out) {
    std::u16string units;
    if (!units_from_str(str, units)) return false;
    out = std::move(units);
    return true;
}

// str(value) as text: Decimals keep their own spelling ("12.50", "1E+2").
bool text_of(PyObject* value, ParamValue& out) {
    Ref str = Ref::steal(PyObject_Str(value));
    return str && text_of_str(str.get(), out);
}

bool bytes_of(PyObject* bytes, ParamValue& out) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes));
    out = Bytes(data, data + PyBytes_GET_SIZE(bytes));
    return true;
}

bool has_index(PyObject* value) {
    const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number != nullptr && number->nb_index != nullptr;
}

bool has_float(PyObject* value) {
    const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number != nullptr && number->nb_float != nullptr;
}

// An int, exact: within 64 bits as an integer; beyond, as the text of its
// decimal digits, which the database converts exactly (the nearest double
// would silently change the value).
bool integer_value(PyObject* integer, ParamValue& out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
        out = static_cast<std::int64_t>(value);
        return true;
    }
    // PyNumber_Index gives a plain int, whose str is its digits even when
    // `integer` is a subclass with its own __str__.
    Ref exact = Ref::steal(PyNumber_Index(integer));
    return exact && text_of(exact.get(), out);
}

bool unsupported(PyObject* value) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "tipo de parametro no soportado: %U", name.get());
    return false;
}

}  // namespace

bool param_value_from_python(PyObject* value, ParamValue& out) {
    // The exact builtin types first: none of them can match an earlier step
    // of the general order below, so checking them early changes nothing.
    if (value == Py_None) {
        out = std::monostate{};
        return true;
    }
    if (PyBool_Check(value)) {
        out = static_cast<std::int64_t>(value == Py_True ? 1 : 0);
        return true;
    }
    if (PyLong_CheckExact(value)) return integer_value(value, out);
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyUnicode_CheckExact(value)) return text_of_str(value, out);
    if (PyBytes_CheckExact(value)) return bytes_of(value, out);

    PyObject* decimal = detail::decimal_type();
    if (decimal == nullptr) return false;
    const int is_decimal = PyObject_IsInstance(value, decimal);
    if (is_decimal < 0) return false;
    if (is_decimal) return text_of(value, out);

    if (PyLong_Check(value)) return integer_value(value, out);
    if (has_index(value)) {
        Ref integer = Ref::steal(PyNumber_Index(value));
        return integer && integer_value(integer.get(), out);
    }
    if (PyFloat_Check(value) || has_float(value)) {
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return false;
        out = number;
        return true;
    }

    detail::TemporalKind kind;
    if (!detail::temporal_kind(value, kind)) return false;
    std::u16string text;
    switch (kind) {
        case detail::TemporalKind::DateTime:
            if (!format_datetime(value, text)) return false;
            out = std::move(text);
            return true;
        case detail::TemporalKind::Date:
            if (!format_date(value, text)) return false;
            out = std::move(text);
            return true;
        case detail::TemporalKind::Time:
            if (!format_time(value, text)) return false;
            out = std::move(text);
            return true;
        case detail::TemporalKind::None: break;
    }

    if (PyBytes_Check(value)) return bytes_of(value, out);
    if (PyUnicode_Check(value)) return text_of_str(value, out);
    return unsupported(value);
}

bool params_from_python(PyObject* params, Params& out) {
    if (params == Py_None) {
        out.clear();
        return true;
    }
    if (PyDict_Check(params)) {
        raise(CoreError::parameter(
            "parametros con nombre (dict) no soportados en execute/fetch* -- solo secuencias posicionales "
            "(list/tuple) para los marcadores '?'. call_proc admite dict."));
        return false;
    }
    Params values;
    if (PyList_Check(params) || PyTuple_Check(params)) {
        // By index, re-reading the size: a conversion hook may change a list.
        values.reserve(static_cast<std::size_t>(Py_SIZE(params)));
        for (Py_ssize_t i = 0; i < Py_SIZE(params); ++i) {
            Ref item = Ref::borrow(PyList_Check(params) ? PyList_GET_ITEM(params, i) : PyTuple_GET_ITEM(params, i));
            if (!param_value_from_python(item.get(), values.emplace_back())) return false;
        }
    } else {
        Ref iterator = Ref::steal(PyObject_GetIter(params));
        if (!iterator) {
            PyErr_Clear();
            raise(CoreError::parameter("params debe ser una secuencia (list/tuple) o None"));
            return false;
        }
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!param_value_from_python(item.get(), values.emplace_back())) return false;
        }
        if (PyErr_Occurred()) return false;
    }
    out = std::move(values);
    return true;
}

}  // namespace vantorel::py
