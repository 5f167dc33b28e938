// What Db2iEngine and BlockingEngine share: the engine they hold, argument
// parsing, and the conversions of a query result for the fetch methods.
#pragma once

#include "py/pyref.h"

#include <memory>
#include <string>

#include "core/options.h"
#include "core/pool.h"
#include "core/secret.h"
#include "runtime/runtime.h"

namespace vantorel::py {

// The C++ part of both engine objects.
struct EngineState {
    std::shared_ptr<Engine> engine;
    vantorel::EngineOptions options;
    std::shared_ptr<rt::Runtime> runtime;  // BlockingEngine only: its own runtime
};

// Registration factories (new references).
PyObject* make_db2i_engine_type();
PyObject* make_blocking_engine_type();

// How a fetch method shapes the rows it gets.
enum class FetchShape : unsigned char { All, One, Value, Column };

// A fetch method of the blocking engine: the query runs on `runtime` and
// hands its rows over in chunks, which this (calling) thread converts with
// the interpreter lock while the next chunk is fetched without it.
PyObject* fetch_on_this_thread(EngineState& state, std::u16string sql, Params params, FetchShape shape);

// The same for Db2iEngine: the future of the fetch. Chunks are converted on
// the process runtime's workers as they arrive.
PyObject* fetch_to_future(const EngineState& state, std::u16string sql, Params params, FetchShape shape);

// "(sql, params=None)" of execute and the fetch methods. params is borrowed.
bool parse_sql_params(PyObject* args, PyObject* kwargs, const char* format, std::u16string& sql,
                      PyObject*& params);

// credentials, options -> the connection string and a copy of the options.
bool parse_connect_args(PyObject* args, PyObject* kwargs, const char* format, SecretString& dsn,
                        vantorel::EngineOptions& options);
// client_code, environment=None, options=None -> the same. before_env runs
// after parsing and before the environment is read (the blocking guard).
bool parse_from_env_args(PyObject* args, PyObject* kwargs, const char* format, SecretString& dsn,
                         vantorel::EngineOptions& options, bool (*before_env)());

// Fails with InterfaceError when an asyncio loop runs on this thread.
bool check_no_running_loop();

// The engine closes its idle connections: ODBC calls, so without the lock.
void close_engine(const std::shared_ptr<Engine>& engine);
// Drops an engine reference; the last one closes connections.
void release_engine(std::shared_ptr<Engine>& engine);

}  // namespace vantorel::py
