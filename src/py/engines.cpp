#include "py/engines.h"

#include "core/chunk_pipe.h"
#include "core/operations.h"
#include "py/bridge.h"
#include "py/config.h"
#include "py/convert.h"
#include "py/errors.h"

namespace vantorel::py {

namespace {

// Rows per chunk: large enough that handing a chunk over costs nothing
// measurable, small enough that a few chunks stay in the CPU caches.
constexpr std::uint64_t kChunkRows = 1024;
constexpr std::size_t kChunksInFlight = 3;

// What a fetch method builds from the chunks as they arrive.
class ShapeBuilder {
public:
    ShapeBuilder(FetchShape shape, const vantorel::EngineOptions& options) : shape_(shape), options_(options) {}

    bool add(const std::vector<ColumnMeta>& columns, const Batch& chunk) {
        if (!start(columns)) return false;
        switch (shape_) {
            case FetchShape::All: return converter_->append_dicts(result_.get(), chunk);
            case FetchShape::Column: return converter_->append_first_cells(result_.get(), chunk);
            case FetchShape::One:
                if (!result_ && !chunk.empty()) result_ = converter_->dict(chunk.front());
                return static_cast<bool>(result_);
            case FetchShape::Value:
                if (!result_ && !chunk.empty()) {
                    result_ = columns.empty() ? Ref::borrow(Py_None) : converter_->cell(0, chunk.front().front());
                }
                return static_cast<bool>(result_);
        }
        return false;
    }

    // The result once every chunk has been added.
    Ref finish(const std::vector<ColumnMeta>& columns) {
        if (!start(columns)) return {};
        if (!result_) return Ref::borrow(Py_None);  // One and Value of an empty result
        return std::move(result_);
    }

private:
    bool start(const std::vector<ColumnMeta>& columns) {
        if (converter_) return true;
        converter_.emplace(columns, ConvertOptions{options_.strip_char_padding, options_.decimal_mode});
        if (converter_->failed()) return false;
        if (shape_ == FetchShape::All || shape_ == FetchShape::Column) {
            result_ = Ref::steal(PyList_New(0));
            return static_cast<bool>(result_);
        }
        return true;
    }

    FetchShape shape_;
    const vantorel::EngineOptions& options_;
    std::optional<RowConverter> converter_;
    Ref result_;
};

}  // namespace

namespace {

// Closes the query's pipe with whatever ended the query.
void close_with(ChunkPipe& pipe, rt::JobResult<Result<void>>& outcome) {
    if (!outcome) {
        pipe.close(rt::job_failure(outcome.error()));
    } else if (!*outcome) {
        pipe.close(std::move(outcome->error()));
    } else {
        pipe.close(std::nullopt);
    }
}

void start_query(rt::Runtime& runtime, const EngineState& state, std::u16string sql, Params params,
                 const std::shared_ptr<ChunkPipe>& pipe) {
    rt::spawn(runtime, ops::query_into(state.engine, std::move(sql), std::move(params), pipe, kChunkRows),
              [pipe](rt::JobResult<Result<void>> outcome) { close_with(*pipe, outcome); });
}

// The same, raced against the cancellation of a future: a cancelled wait
// for a connection takes none.
void start_query(rt::Runtime& runtime, const EngineState& state, std::u16string sql, Params params,
                 const std::shared_ptr<ChunkPipe>& pipe, const std::shared_ptr<rt::CancelSignal>& signal) {
    auto body = ops::query_into(state.engine, std::move(sql), std::move(params), pipe, kChunkRows);
    rt::spawn(runtime, rt::race_cancel(std::move(body), signal),
              [pipe](rt::JobResult<rt::Raced<Result<void>>> raced) {
                  if (raced && !*raced) {
                      pipe->close(CoreError::interface("cancelado"));
                      return;
                  }
                  rt::JobResult<Result<void>> outcome =
                      raced ? rt::JobResult<Result<void>>(std::move(**raced))
                            : rt::JobResult<Result<void>>(std::unexpected(raced.error()));
                  close_with(*pipe, outcome);
              });
}

// A fetch of Db2iEngine: each chunk is converted on a runtime worker (one at
// a time, on a strand) as soon as the query hands it over, and the future
// is completed after the last one.
class AsyncFetch : public std::enable_shared_from_this<AsyncFetch> {
public:
    AsyncFetch(rt::Runtime& runtime, std::shared_ptr<ChunkPipe> pipe, std::shared_ptr<FutureCall> call,
               std::shared_ptr<rt::CancelSignal> signal, FetchShape shape, const vantorel::EngineOptions& options)
        : strand_(runtime.make_strand()), pipe_(std::move(pipe)), call_(std::move(call)),
          signal_(std::move(signal)), shape_(shape), options_(options) {}

    ~AsyncFetch() {
        if (!builder_) return;
        InterpreterEntry entry;
        if (entry) {
            builder_.reset();
        } else {
            (void)new std::optional<ShapeBuilder>(std::move(builder_));  // the interpreter is exiting
        }
    }

    // Any thread: a chunk or the end is waiting in the pipe.
    void schedule() {
        asio::post(strand_, [self = shared_from_this()] { self->drain(); });
    }

private:
    void drain() {
        if (done_) return;
        InterpreterEntry entry;
        if (!entry) {
            // The interpreter is exiting: nothing may be released now.
            (void)new std::optional<ShapeBuilder>(std::move(builder_));
            builder_.reset();
            return finish_abandoned();
        }
        if (signal_->fired()) return finish_abandoned();
        while (auto item = pipe_->try_get()) {
            if (auto* error = std::get_if<CoreError>(&*item)) {
                PendingError pending = to_py_err(*error);
                return finish([&] { return Delivered{pending.instance(), true}; });
            }
            if (!builder_) builder_.emplace(shape_, options_);
            if (std::holds_alternative<ChunkPipe::End>(*item)) {
                return finish([&] {
                    Ref value = builder_->finish(pipe_->columns());
                    if (!value) return Delivered{fetch_exception(), true};
                    return Delivered{std::move(value), false};
                });
            }
            Batch& chunk = std::get<Batch>(*item);
            if (!builder_->add(pipe_->columns(), chunk)) {
                Ref exception = fetch_exception();
                return finish([&] { return Delivered{std::move(exception), true}; });
            }
            pipe_->recycle(std::move(chunk));
        }
    }

    template <class Make>
    void finish(Make&& make) {
        done_ = true;
        pipe_->abandon();  // stops a query still running (after a conversion failure)
        pipe_->clear_listener();
        call_->deliver(std::forward<Make>(make));
        builder_.reset();  // under the lock, on this worker
    }

    void finish_abandoned() {
        done_ = true;
        pipe_->abandon();
        pipe_->clear_listener();
        call_->abandon();
        builder_.reset();  // the lock is held by drain() when it is set
    }

    asio::strand<rt::Runtime::executor_type> strand_;
    std::shared_ptr<ChunkPipe> pipe_;
    std::shared_ptr<FutureCall> call_;
    std::shared_ptr<rt::CancelSignal> signal_;
    FetchShape shape_;
    vantorel::EngineOptions options_;
    std::optional<ShapeBuilder> builder_;
    bool done_ = false;  // on the strand only
};

}  // namespace

PyObject* fetch_on_this_thread(EngineState& state, std::u16string sql, Params params, FetchShape shape) {
    auto pipe = std::make_shared<ChunkPipe>(kChunksInFlight);
    // Whatever ends the query (its end, an error, a failed job, a runtime
    // that went away) closes the pipe, so the loop below always ends.
    start_query(*state.runtime, state, std::move(sql), std::move(params), pipe);
    ShapeBuilder builder(shape, state.options);
    for (;;) {
        std::optional<ChunkPipe::Item> item;
        PyThreadState* thread = PyEval_SaveThread();
        item.emplace(pipe->get());
        restore_thread(thread);
        if (auto* error = std::get_if<CoreError>(&*item)) return raise(*error);
        if (std::holds_alternative<ChunkPipe::End>(*item)) return builder.finish(pipe->columns()).release();
        Batch& chunk = std::get<Batch>(*item);
        if (!builder.add(pipe->columns(), chunk)) {
            pipe->abandon();
            return nullptr;
        }
        pipe->recycle(std::move(chunk));
    }
}

PyObject* fetch_to_future(const EngineState& state, std::u16string sql, Params params, FetchShape shape) {
    std::optional<AwaitableCall> started = begin_awaitable_call();
    if (!started) return nullptr;
    auto& [runtime, signal, call] = *started;
    PyObject* future = Py_NewRef(call->future());
    auto pipe = std::make_shared<ChunkPipe>(kChunksInFlight);
    auto fetch = std::make_shared<AsyncFetch>(*runtime, pipe, std::move(call), signal, shape, state.options);
    // The pipe keeps the fetch alive until the fetch has finished and
    // cleared this listener.
    pipe->set_listener([fetch] { fetch->schedule(); });
    start_query(*runtime, state, std::move(sql), std::move(params), pipe, signal);
    return future;
}

bool parse_sql_params(PyObject* args, PyObject* kwargs, const char* format, std::u16string& sql,
                      PyObject*& params) {
    static const char* kwlist[] = {"sql", "params", nullptr};
    PyObject* sql_obj = nullptr;
    params = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &PyUnicode_Type, &sql_obj,
                                     &params)) {
        return false;
    }
    return units_from_str(sql_obj, sql);
}

namespace {

bool take_options(PyObject* options_obj, vantorel::EngineOptions& options) {
    if (options_obj != Py_None && !is_engine_options(options_obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'options' must be vantorel.EngineOptions or None, not %s",
                     Py_TYPE(options_obj)->tp_name);
        return false;
    }
    options = options_of(options_obj);
    return true;
}

}  // namespace

bool parse_connect_args(PyObject* args, PyObject* kwargs, const char* format, SecretString& dsn,
                        vantorel::EngineOptions& options) {
    static const char* kwlist[] = {"credentials", "options", nullptr};
    PyObject* credentials = nullptr;
    PyObject* options_obj = Py_None;
    PyObject* type = credentials_type();
    if (type == nullptr) return false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), type, &credentials,
                                     &options_obj)) {
        return false;
    }
    if (!take_options(options_obj, options)) return false;
    auto resolved = resolve_dsn(credentials);
    if (!resolved) {
        raise(resolved.error());
        return false;
    }
    dsn = std::move(*resolved);
    return true;
}

bool parse_from_env_args(PyObject* args, PyObject* kwargs, const char* format, SecretString& dsn,
                         vantorel::EngineOptions& options, bool (*before_env)()) {
    static const char* kwlist[] = {"client_code", "environment", "options", nullptr};
    PyObject* client_code = nullptr;
    PyObject* environment = Py_None;
    PyObject* options_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &client_code, &environment,
                                     &options_obj)) {
        return false;
    }
    if (before_env != nullptr && !before_env()) return false;
    if (!take_options(options_obj, options)) return false;
    std::optional<CredentialsData> data = credentials_from_env(client_code, environment);
    if (!data) return false;
    auto resolved = vantorel::resolve_dsn(*data);
    if (!resolved) {
        raise(resolved.error());
        return false;
    }
    dsn = std::move(*resolved);
    return true;
}

bool check_no_running_loop() {
    static PyObject* get_running_loop = nullptr;  // looked up once, under the lock
    if (get_running_loop == nullptr) {
        Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
        if (!asyncio) return false;
        get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
        if (get_running_loop == nullptr) return false;
    }
    Ref loop = Ref::steal(PyObject_CallNoArgs(get_running_loop));
    if (!loop) {
        PyErr_Clear();  // no loop runs on this thread
        return true;
    }
    raise(Exc::InterfaceError,
          "BlockingEngine: hay un event loop de asyncio corriendo en este hilo. Usa la API async (Db2iEngine) o "
          "llama desde un hilo sin event loop.");
    return false;
}

void close_engine(const std::shared_ptr<Engine>& engine) {
    if (!engine) return;
    Py_BEGIN_ALLOW_THREADS
    engine->close();
    Py_END_ALLOW_THREADS
}

void release_engine(std::shared_ptr<Engine>& engine) {
    if (!engine) return;
    Py_BEGIN_ALLOW_THREADS
    engine.reset();
    Py_END_ALLOW_THREADS
}

}  // namespace vantorel::py
