// Dates, times and timestamps in both directions. The only file that
// includes datetime.h: its capsule pointer is a per-file static, filled once
// per process here.
#include "py/convert.h"

#include <datetime.h>

#include <cstdio>

#include "py/convert_internal.h"

namespace vantorel::py {

namespace {

// Written once under the interpreter lock; the capsule points at static
// data of the datetime extension, valid for the life of the process.
const PyDateTime_CAPI* datetime_api() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    }
    return PyDateTimeAPI;
}

// An optional sign (only "+" when !allow_minus) and one or more ASCII digits,
// no larger than `limit` in magnitude.
bool parse_number(std::u16string_view s, bool allow_minus, long long limit, long long& out) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == u'+' || (allow_minus && s[0] == u'-'))) {
        negative = s[0] == u'-';
        i = 1;
    }
    if (i == s.size()) return false;
    const long long max = negative ? limit + 1 : limit;
    long long value = 0;
    for (; i < s.size(); ++i) {
        const unsigned digit = static_cast<unsigned>(s[i]) - u'0';
        if (digit > 9) return false;
        value = value * 10 + digit;
        if (value > max) return false;
    }
    out = negative ? -value : value;
    return true;
}

bool parse_u8(std::u16string_view s, std::uint8_t& out) noexcept {
    long long value;
    if (!parse_number(s, false, 255, value)) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

// At most three pieces at `separator`; the third keeps any further ones.
bool split3(std::u16string_view s, char16_t separator, std::u16string_view (&pieces)[3]) noexcept {
    const std::size_t first = s.find(separator);
    if (first == std::u16string_view::npos) return false;
    const std::size_t second = s.find(separator, first + 1);
    if (second == std::u16string_view::npos) return false;
    pieces[0] = s.substr(0, first);
    pieces[1] = s.substr(first + 1, second - first - 1);
    pieces[2] = s.substr(second + 1);
    return true;
}

// The clock split at `separator`, then the fraction (padded to six digits,
// digits past the sixth dropped).
std::optional<Hms> read_clock(std::u16string_view clock, char16_t separator, std::u16string_view fraction) {
    std::u16string_view pieces[3];
    Hms hms{};
    if (!split3(clock, separator, pieces) || !parse_u8(pieces[0], hms.hour) || !parse_u8(pieces[1], hms.minute) ||
        !parse_u8(pieces[2], hms.second)) {
        return std::nullopt;
    }
    if (!fraction.empty()) {
        for (std::size_t i = 0; i < 6; ++i) {
            const char16_t u = i < fraction.size() ? fraction[i] : u'0';
            if (u < u'0' || u > u'9') return std::nullopt;
            hms.microsecond = hms.microsecond * 10 + (u - u'0');
        }
    }
    return hms;
}

// A time part with dots between hour, minute and second (12.34.56.123456):
// the third dot starts the fraction.
std::optional<Hms> read_dotted_clock(std::u16string_view text) {
    std::size_t dot = text.find(u'.');
    if (dot != std::u16string_view::npos) dot = text.find(u'.', dot + 1);
    if (dot != std::u16string_view::npos) dot = text.find(u'.', dot + 1);
    if (dot == std::u16string_view::npos) return read_clock(text, u'.', {});
    return read_clock(text.substr(0, dot), u'.', text.substr(dot + 1));
}

constexpr Hms kMidnight{0, 0, 0, 0};

}  // namespace

std::optional<Ymd> split_ymd(std::u16string_view text) {
    std::u16string_view pieces[3];
    if (!split3(text, u'-', pieces)) return std::nullopt;
    long long year;
    Ymd ymd{};
    if (!parse_number(pieces[0], true, 2147483647LL, year) || !parse_u8(pieces[1], ymd.month) ||
        !parse_u8(pieces[2], ymd.day)) {
        return std::nullopt;
    }
    ymd.year = static_cast<std::int32_t>(year);
    return ymd;
}

std::optional<Hms> split_hms(std::u16string_view text) {
    const std::size_t dot = text.find(u'.');
    if (dot == std::u16string_view::npos) return read_clock(text, u':', {});
    return read_clock(text.substr(0, dot), u':', text.substr(dot + 1));
}

std::optional<TimestampParts> split_timestamp(std::u16string_view text) {
    std::u16string_view date = text;
    std::u16string_view time;
    if (const std::size_t space = text.find(u' '); space != std::u16string_view::npos) {
        date = text.substr(0, space);
        time = text.substr(space + 1);
    } else if (text.size() >= 11) {
        date = text.substr(0, 10);
        // The separator is one character; a surrogate pair is one too.
        const bool pair = (text[10] & 0xFC00) == 0xD800 && text.size() > 11 && (text[11] & 0xFC00) == 0xDC00;
        time = text.substr(pair ? 12 : 11);
    }
    const std::optional<Ymd> ymd = split_ymd(date);
    if (!ymd) return std::nullopt;
    std::optional<Hms> hms;
    if (!time.empty()) {
        hms = time.find(u':') != std::u16string_view::npos ? split_hms(time) : read_dotted_clock(time);
    }
    return TimestampParts{*ymd, hms.value_or(kMidnight)};
}

// ---- Cells --------------------------------------------------------------------------

namespace detail {

PyObject* date_cell(std::u16string_view text) {
    text = trim(text);
    const std::optional<Ymd> ymd = split_ymd(text);
    if (!ymd) return raise_data_error("fecha invalida del driver: ", text);
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return nullptr;
    return api->Date_FromDate(ymd->year, ymd->month, ymd->day, api->DateType);
}

PyObject* time_cell(std::u16string_view text) {
    text = trim(text);
    const std::optional<Hms> hms = split_hms(text);
    if (!hms) return raise_data_error("hora invalida del driver: ", text);
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return nullptr;
    return api->Time_FromTime(hms->hour, hms->minute, hms->second, static_cast<int>(hms->microsecond), Py_None,
                              api->TimeType);
}

PyObject* timestamp_cell(std::u16string_view text) {
    text = trim(text);
    const std::optional<TimestampParts> parts = split_timestamp(text);
    if (!parts) return raise_data_error("timestamp invalido del driver: ", text);
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return nullptr;
    const Hms& t = parts->time;
    return api->DateTime_FromDateAndTime(parts->date.year, parts->date.month, parts->date.day, t.hour, t.minute,
                                         t.second, static_cast<int>(t.microsecond), Py_None,
                                         api->DateTimeType);
}

bool temporal_kind(PyObject* value, TemporalKind& kind) {
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return false;
    if (PyObject_TypeCheck(value, api->DateTimeType)) {
        kind = TemporalKind::DateTime;
    } else if (PyObject_TypeCheck(value, api->DateType)) {
        kind = TemporalKind::Date;
    } else if (PyObject_TypeCheck(value, api->TimeType)) {
        kind = TemporalKind::Time;
    } else {
        kind = TemporalKind::None;
    }
    return true;
}

}  // namespace detail

// ---- Formatting parameters ----------------------------------------------------------------

namespace {

// The value's own fields for the datetime types themselves; attribute reads
// for subclasses, which may override them.
bool read_field(PyObject* value, const char* name, long long& out) {
    Ref attribute = Ref::steal(PyObject_GetAttrString(value, name));
    if (!attribute) return false;
    out = PyLong_AsLongLong(attribute.get());
    return !(out == -1 && PyErr_Occurred());
}

struct Fields {
    long long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, microsecond = 0;
};

bool read_date(PyObject* value, Fields& f) {
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return false;
    if (Py_IS_TYPE(value, api->DateType) || Py_IS_TYPE(value, api->DateTimeType)) {
        f.year = PyDateTime_GET_YEAR(value);
        f.month = PyDateTime_GET_MONTH(value);
        f.day = PyDateTime_GET_DAY(value);
        return true;
    }
    return read_field(value, "year", f.year) && read_field(value, "month", f.month) &&
           read_field(value, "day", f.day);
}

bool read_time(PyObject* value, Fields& f) {
    const PyDateTime_CAPI* api = datetime_api();
    if (api == nullptr) return false;
    if (Py_IS_TYPE(value, api->DateTimeType)) {
        f.hour = PyDateTime_DATE_GET_HOUR(value);
        f.minute = PyDateTime_DATE_GET_MINUTE(value);
        f.second = PyDateTime_DATE_GET_SECOND(value);
        f.microsecond = PyDateTime_DATE_GET_MICROSECOND(value);
        return true;
    }
    if (Py_IS_TYPE(value, api->TimeType)) {
        f.hour = PyDateTime_TIME_GET_HOUR(value);
        f.minute = PyDateTime_TIME_GET_MINUTE(value);
        f.second = PyDateTime_TIME_GET_SECOND(value);
        f.microsecond = PyDateTime_TIME_GET_MICROSECOND(value);
        return true;
    }
    if (!read_field(value, "hour", f.hour) || !read_field(value, "minute", f.minute) ||
        !read_field(value, "second", f.second)) {
        return false;
    }
    // An unreadable microsecond counts as none.
    if (!read_field(value, "microsecond", f.microsecond)) {
        PyErr_Clear();
        f.microsecond = 0;
    }
    return true;
}

void append_ascii(std::u16string& out, const char* text, int length) {
    for (int i = 0; i < length; ++i) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
}

void append_date(std::u16string& out, const Fields& f) {
    char buffer[96];
    const int n = std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lld", f.year, f.month, f.day);
    append_ascii(out, buffer, n);
}

void append_time(std::u16string& out, const Fields& f) {
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", f.hour, f.minute, f.second);
    if (f.microsecond != 0) {
        n += std::snprintf(buffer + n, sizeof buffer - static_cast<std::size_t>(n), ".%06lld", f.microsecond);
    }
    append_ascii(out, buffer, n);
}

}  // namespace

bool format_date(PyObject* value, std::u16string& out) {
    Fields f;
    if (!read_date(value, f)) return false;
    out.clear();
    append_date(out, f);
    return true;
}

bool format_time(PyObject* value, std::u16string& out) {
    Fields f;
    if (!read_time(value, f)) return false;
    out.clear();
    append_time(out, f);
    return true;
}

bool format_datetime(PyObject* value, std::u16string& out) {
    Fields f;
    if (!read_date(value, f) || !read_time(value, f)) return false;
    out.clear();
    append_date(out, f);
    out.push_back(u' ');
    append_time(out, f);
    return true;
}

}  // namespace vantorel::py
