#include "core/types.h"

namespace vantorel {

SqlTypeFamily classify_sql_type(std::int16_t code) noexcept {
    switch (code) {
        case 2:    // SQL_NUMERIC
        case 3:    // SQL_DECIMAL
            return SqlTypeFamily::Decimal;
        case 4:    // SQL_INTEGER
        case 5:    // SQL_SMALLINT
        case -5:   // SQL_BIGINT
        case -6:   // SQL_TINYINT
            return SqlTypeFamily::Integer;
        case 6:    // SQL_FLOAT
        case 7:    // SQL_REAL
        case 8:    // SQL_DOUBLE
            return SqlTypeFamily::Float;
        case -7:   // SQL_BIT
            return SqlTypeFamily::Bit;
        case 91:   // SQL_TYPE_DATE
            return SqlTypeFamily::Date;
        case 92:   // SQL_TYPE_TIME
            return SqlTypeFamily::Time;
        case 93:   // SQL_TYPE_TIMESTAMP
            return SqlTypeFamily::Timestamp;
        case -1:   // SQL_LONGVARCHAR
        case -99:  // character large object
        case 31:
        case 32:
            return SqlTypeFamily::Clob;
        case -2:   // SQL_BINARY
        case -3:   // SQL_VARBINARY
        case -4:   // SQL_LONGVARBINARY
        case 30:
            return SqlTypeFamily::Binary;
        default:
            return SqlTypeFamily::Text;
    }
}

std::string_view family_name(SqlTypeFamily family) noexcept {
    switch (family) {
        case SqlTypeFamily::Decimal: return "Decimal";
        case SqlTypeFamily::Integer: return "Integer";
        case SqlTypeFamily::Float: return "Float";
        case SqlTypeFamily::Bit: return "Bit";
        case SqlTypeFamily::Date: return "Date";
        case SqlTypeFamily::Time: return "Time";
        case SqlTypeFamily::Timestamp: return "Timestamp";
        case SqlTypeFamily::Clob: return "Clob";
        case SqlTypeFamily::Binary: return "Binary";
        case SqlTypeFamily::Text: return "Text";
    }
    return "Text";
}

}  // namespace vantorel
