// BatchStream and BlockingBatchStream, and the engine methods that open them.
#pragma once

#include "py/pyref.h"

#include "py/engines.h"

namespace vantorel::py {

// Registration factories (new references).
PyObject* make_batch_stream_type();
PyObject* make_blocking_batch_stream_type();

// Db2iEngine.stream_batches and Db2iEngine.stream: a future of a BatchStream.
// format names the method for argument errors ("O!|OO:stream").
PyObject* open_batch_stream(const EngineState& state, PyObject* args, PyObject* kwargs, const char* format);
// BlockingEngine.stream: a BlockingBatchStream once the query has run.
PyObject* open_blocking_batch_stream(const EngineState& state, PyObject* args, PyObject* kwargs);

}  // namespace vantorel::py
