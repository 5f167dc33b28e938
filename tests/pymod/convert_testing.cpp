// Value conversion exposed to pytest. Cells are given as None, str (UTF-16
// units, lone surrogates included) or bytes; columns as (name, sql_type).
#include <chrono>

#include "py/convert.h"
#include "py/errors.h"
#include "testing.h"

namespace vantorel::testing {

namespace {

using py::Ref;

bool cell_from_python(PyObject* object, ColumnValue& out) {
    if (object == Py_None) {
        out = std::monostate{};
        return true;
    }
    if (PyBytes_Check(object) || PyUnicode_Check(object)) {
        ParamValue value;
        if (!py::param_value_from_python(object, value)) return false;
        if (auto* text = std::get_if<std::u16string>(&value)) {
            out = std::move(*text);
        } else {
            out = std::move(std::get<Bytes>(value));
        }
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "cell must be None, str or bytes");
    return false;
}

bool columns_from_python(PyObject* object, std::vector<ColumnMeta>& out) {
    Ref seq = Ref::steal(PySequence_Fast(object, "columns must be a sequence"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        const char* name;
        int sql_type;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "si", &name, &sql_type)) return false;
        ColumnMeta column;
        column.name = name;
        column.data_type = static_cast<std::int16_t>(sql_type);
        out.push_back(std::move(column));
    }
    return true;
}

bool row_from_python(PyObject* object, Row& out) {
    Ref seq = Ref::steal(PySequence_Fast(object, "row must be a sequence"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        if (!cell_from_python(PySequence_Fast_GET_ITEM(seq.get(), i), out.emplace_back())) return false;
    }
    return true;
}

bool rows_from_python(PyObject* object, Batch& out) {
    Ref seq = Ref::steal(PySequence_Fast(object, "rows must be a sequence"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        if (!row_from_python(PySequence_Fast_GET_ITEM(seq.get(), i), out.emplace_back())) return false;
    }
    return true;
}

using BatchForm = Ref (*)(std::span<const ColumnMeta>, const Batch&, const py::ConvertOptions&);

template <BatchForm form>
PyObject* batch_form(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* keywords[] = {"columns", "rows", "strip", "mode", nullptr};
        PyObject* columns_arg;
        PyObject* rows_arg;
        int strip = 1;
        const char* mode = "decimal";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|ps", const_cast<char**>(keywords), &columns_arg,
                                         &rows_arg, &strip, &mode)) {
            return nullptr;
        }
        std::vector<ColumnMeta> columns;
        Batch rows;
        if (!columns_from_python(columns_arg, columns) || !rows_from_python(rows_arg, rows)) return nullptr;
        return form(columns, rows, py::ConvertOptions{strip != 0, mode}).release();
    });
}

Ref all_rows(std::span<const ColumnMeta> columns, const Batch& rows, const py::ConvertOptions& options) {
    return py::batch_to_pylist(columns, rows, options);
}

PyObject* column_value_to_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* keywords[] = {"sql_type", "cell", "strip", "mode", nullptr};
        int sql_type;
        PyObject* cell_arg;
        int strip = 1;
        const char* mode = "decimal";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iO|ps", const_cast<char**>(keywords), &sql_type, &cell_arg,
                                         &strip, &mode)) {
            return nullptr;
        }
        ColumnValue cell;
        if (!cell_from_python(cell_arg, cell)) return nullptr;
        return py::column_value_to_py(static_cast<std::int16_t>(sql_type), cell, strip != 0, mode).release();
    });
}

PyObject* tagged(const ParamValue& value) {
    struct Visitor {
        PyObject* operator()(std::monostate) const { return Py_BuildValue("(sO)", "null", Py_None); }
        PyObject* operator()(const std::u16string& text) const {
            Ref str = py::str_from_units(text);
            return str ? Py_BuildValue("(sO)", "text", str.get()) : nullptr;
        }
        PyObject* operator()(std::int64_t number) const { return Py_BuildValue("(sL)", "int", number); }
        PyObject* operator()(double number) const { return Py_BuildValue("(sd)", "float", number); }
        PyObject* operator()(const Bytes& bytes) const {
            // "y#" turns a null pointer into None; an empty vector may have one.
            const char* data = bytes.empty() ? "" : reinterpret_cast<const char*>(bytes.data());
            return Py_BuildValue("(sy#)", "bytes", data,
                                 static_cast<Py_ssize_t>(bytes.size()));
        }
    };
    return std::visit(Visitor{}, value);
}

PyObject* params_from_python(PyObject*, PyObject* params) {
    return py::guarded([&]() -> PyObject* {
        Params values;
        if (!py::params_from_python(params, values)) return nullptr;
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const ParamValue& value : values) {
            Ref item = Ref::steal(tagged(value));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* param_value_from_python(PyObject*, PyObject* value) {
    return py::guarded([&]() -> PyObject* {
        ParamValue out;
        if (!py::param_value_from_python(value, out)) return nullptr;
        return tagged(out);
    });
}

bool units_arg(PyObject* object, std::u16string& out) {
    ParamValue value;
    if (!PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "expected str");
        return false;
    }
    if (!py::param_value_from_python(object, value)) return false;
    out = std::move(std::get<std::u16string>(value));
    return true;
}

PyObject* split_ymd(PyObject*, PyObject* text) {
    return py::guarded([&]() -> PyObject* {
        std::u16string units;
        if (!units_arg(text, units)) return nullptr;
        const auto ymd = py::split_ymd(units);
        if (!ymd) Py_RETURN_NONE;
        return Py_BuildValue("(iII)", ymd->year, unsigned{ymd->month}, unsigned{ymd->day});
    });
}

PyObject* split_hms(PyObject*, PyObject* text) {
    return py::guarded([&]() -> PyObject* {
        std::u16string units;
        if (!units_arg(text, units)) return nullptr;
        const auto hms = py::split_hms(units);
        if (!hms) Py_RETURN_NONE;
        return Py_BuildValue("(IIII)", unsigned{hms->hour}, unsigned{hms->minute}, unsigned{hms->second},
                             hms->microsecond);
    });
}

template <bool (*format)(PyObject*, std::u16string&)>
PyObject* format_form(PyObject*, PyObject* value) {
    return py::guarded([&]() -> PyObject* {
        std::u16string text;
        if (!format(value, text)) return nullptr;
        return py::str_from_units(text).release();
    });
}

// Converts `nrows` copies of `row` `repeats` times; returns the nanoseconds
// each conversion took (building the batch and dropping the result are not
// counted).
PyObject* time_batch_to_pylist(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::guarded([&]() -> PyObject* {
        static const char* keywords[] = {"columns", "row", "nrows", "repeats", "strip", "mode", nullptr};
        PyObject* columns_arg;
        PyObject* row_arg;
        Py_ssize_t nrows;
        int repeats = 3;
        int strip = 1;
        const char* mode = "decimal";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOn|ips", const_cast<char**>(keywords), &columns_arg,
                                         &row_arg, &nrows, &repeats, &strip, &mode)) {
            return nullptr;
        }
        std::vector<ColumnMeta> columns;
        Row row;
        if (!columns_from_python(columns_arg, columns) || !row_from_python(row_arg, row)) return nullptr;
        const Batch rows(static_cast<std::size_t>(nrows), row);
        const py::ConvertOptions options{strip != 0, mode};
        Ref timings = Ref::steal(PyList_New(0));
        if (!timings) return nullptr;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            Ref list = py::batch_to_pylist(columns, rows, options);
            const auto stop = std::chrono::steady_clock::now();
            if (!list) return nullptr;
            Ref ns = Ref::steal(PyLong_FromLongLong(
                std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count()));
            if (!ns || PyList_Append(timings.get(), ns.get()) < 0) return nullptr;
        }
        return timings.release();
    });
}

#define KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

const TestingFunctions kConvertFunctions{
    {"batch_to_pylist", KW(batch_form<all_rows>), METH_VARARGS | METH_KEYWORDS,
     "batch_to_pylist(columns, rows, strip=True, mode='decimal')\n--\n\n"},
    {"first_row_to_pydict", KW(batch_form<py::first_row_to_pydict>), METH_VARARGS | METH_KEYWORDS,
     "first_row_to_pydict(columns, rows, strip=True, mode='decimal')\n--\n\n"},
    {"first_column_to_pylist", KW(batch_form<py::first_column_to_pylist>), METH_VARARGS | METH_KEYWORDS,
     "first_column_to_pylist(columns, rows, strip=True, mode='decimal')\n--\n\n"},
    {"first_value_to_py", KW(batch_form<py::first_value_to_py>), METH_VARARGS | METH_KEYWORDS,
     "first_value_to_py(columns, rows, strip=True, mode='decimal')\n--\n\n"},
    {"column_value_to_py", KW(column_value_to_py), METH_VARARGS | METH_KEYWORDS,
     "column_value_to_py(sql_type, cell, strip=True, mode='decimal')\n--\n\n"},
    {"params_from_python", params_from_python, METH_O, "params_from_python(params)\n--\n\n"},
    {"param_value_from_python", param_value_from_python, METH_O, "param_value_from_python(value)\n--\n\n"},
    {"split_ymd", split_ymd, METH_O, "split_ymd(text)\n--\n\n"},
    {"split_hms", split_hms, METH_O, "split_hms(text)\n--\n\n"},
    {"format_date", format_form<py::format_date>, METH_O, "format_date(value)\n--\n\n"},
    {"format_time", format_form<py::format_time>, METH_O, "format_time(value)\n--\n\n"},
    {"format_datetime", format_form<py::format_datetime>, METH_O, "format_datetime(value)\n--\n\n"},
    {"time_batch_to_pylist", KW(time_batch_to_pylist), METH_VARARGS | METH_KEYWORDS,
     "time_batch_to_pylist(columns, row, nrows, repeats=3, strip=True, mode='decimal')\n--\n\n"},
};

#undef KW

}  // namespace

}  // namespace vantorel::testing
