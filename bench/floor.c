/* The floor of the read path: one SELECT through the same driver
 * registration, every cell read as wide text with SQLGetData into an
 * 8192-byte buffer, piece by piece, and thrown away. Nothing a Python
 * library does on top of that can be cheaper.
 *
 *   floor SQL EXPECTED_ROWS      (connection string in BENCH_DSN)
 *
 * Prints one JSON object: rows (items), cells, characters read, seconds spent from
 * execute to the freed statement, and the peak RSS (VmHWM, kB) after the
 * warm-up and at the end.
 */
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { PIECE_BYTES = 8192 };

static void fail(SQLSMALLINT type, SQLHANDLE handle, const char *what)
{
    SQLCHAR state[6] = "", msg[512] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (handle)
        SQLGetDiagRec(type, handle, 1, state, &native, msg, sizeof msg, &len);
    /* The message goes into a JSON string: keep it printable and unquoted. */
    for (char *p = (char *)msg; *p; ++p)
        if (*p == '"' || *p == '\\' || (unsigned char)*p < 0x20)
            *p = ' ';
    printf("{\"error\": \"%s: [%s] %s\"}\n", what, (char *)state, (char *)msg);
    exit(1);
}

static long vm_hwm_kb(void)
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kb = strtol(line + 6, NULL, 10);
            break;
        }
    fclose(f);
    return kb;
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* The statement text is ASCII: widen it unit by unit. */
static SQLWCHAR *widen(const char *s, SQLINTEGER *units)
{
    size_t n = strlen(s);
    SQLWCHAR *w = malloc((n + 1) * sizeof *w);
    if (!w) {
        printf("{\"error\": \"out of memory\"}\n");
        exit(1);
    }
    for (size_t i = 0; i < n; ++i)
        w[i] = (SQLWCHAR)(unsigned char)s[i];
    w[n] = 0;
    *units = (SQLINTEGER)n;
    return w;
}

/* True when the last SQLGetData left more of the cell to read (01004). */
static int truncated(SQLHSTMT stmt)
{
    SQLCHAR state[6] = "";
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLSMALLINT rec = 1;
    while (SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, stmt, rec++, state, &native, NULL, 0, &len)))
        if (strcmp((char *)state, "01004") == 0)
            return 1;
    return 0;
}

struct totals {
    long long rows, cells, chars;
};

static void run(SQLHDBC dbc, const char *sql, struct totals *t)
{
    static SQLWCHAR piece[PIECE_BYTES / sizeof(SQLWCHAR)];
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLINTEGER units = 0;
    SQLWCHAR *text = widen(sql, &units);
    SQLSMALLINT ncols = 0;
    SQLRETURN rc;

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt)))
        fail(SQL_HANDLE_DBC, dbc, "SQLAllocHandle");
    rc = SQLExecDirectW(stmt, text, units);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA)
        fail(SQL_HANDLE_STMT, stmt, "SQLExecDirectW");
    free(text);
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &ncols)))
        fail(SQL_HANDLE_STMT, stmt, "SQLNumResultCols");

    while ((rc = SQLFetch(stmt)) != SQL_NO_DATA) {
        if (!SQL_SUCCEEDED(rc))
            fail(SQL_HANDLE_STMT, stmt, "SQLFetch");
        for (SQLUSMALLINT col = 1; col <= (SQLUSMALLINT)ncols; ++col) {
            for (;;) {
                SQLLEN ind = 0;
                rc = SQLGetData(stmt, col, SQL_C_WCHAR, piece, sizeof piece, &ind);
                if (rc == SQL_NO_DATA)
                    break;
                if (!SQL_SUCCEEDED(rc))
                    fail(SQL_HANDLE_STMT, stmt, "SQLGetData");
                if (ind == SQL_NULL_DATA)
                    break;
                if (rc == SQL_SUCCESS_WITH_INFO && truncated(stmt)) {
                    t->chars += (long long)(sizeof piece / sizeof piece[0]) - 1;
                    continue;
                }
                t->chars += ind / (SQLLEN)sizeof(SQLWCHAR);
                break;
            }
            ++t->cells;
        }
        ++t->rows;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

int main(int argc, char **argv)
{
    const char *dsn = getenv("BENCH_DSN");
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLINTEGER units = 0;
    SQLWCHAR *wdsn;
    struct totals warm = {0, 0, 0}, t = {0, 0, 0};
    long long expected;
    long base_kb, peak_kb;
    double start, seconds;

    if (argc != 3 || !dsn) {
        fprintf(stderr, "usage: BENCH_DSN=... floor SQL EXPECTED_ROWS\n");
        return 2;
    }
    expected = atoll(argv[2]);

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        fail(0, NULL, "SQLAllocHandle(ENV)");
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)))
        fail(SQL_HANDLE_ENV, env, "SQLAllocHandle(DBC)");
    wdsn = widen(dsn, &units);
    if (!SQL_SUCCEEDED(SQLDriverConnectW(dbc, NULL, wdsn, (SQLSMALLINT)units, NULL, 0, NULL, SQL_DRIVER_NOPROMPT)))
        fail(SQL_HANDLE_DBC, dbc, "SQLDriverConnectW");
    free(wdsn);

    /* Warm-up: the driver and its libraries are loaded and the session is
     * open, as in every other contender, before the baseline is read. */
    run(dbc, "SELECT 1", &warm);
    base_kb = vm_hwm_kb();

    start = now();
    run(dbc, argv[1], &t);
    seconds = now() - start;
    peak_kb = vm_hwm_kb();

    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);

    if (expected >= 0 && t.rows != expected) {
        printf("{\"error\": \"read %lld rows, expected %lld\"}\n", t.rows, expected);
        return 1;
    }
    printf("{\"items\": %lld, \"cells\": %lld, \"chars\": %lld, \"seconds\": %.6f, "
           "\"rss_base_kb\": %ld, \"rss_peak_kb\": %ld}\n",
           t.rows, t.cells, t.chars, seconds, base_kb, peak_kb);
    return 0;
}
