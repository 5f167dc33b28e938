// The Python classes `Credentials` and `EngineOptions` and the function
// `load_dotenv`, plus what the engines read from them.
#pragma once

#include "py/pyref.h"

#include <optional>

#include "core/dsn.h"
#include "core/error.h"
#include "core/options.h"
#include "core/secret.h"

namespace vantorel::py {

// Borrowed type objects, created on first use and kept for the process;
// nullptr with a Python error set when creation failed.
PyObject* credentials_type();
PyObject* engine_options_type();

// Registration factories: new references, nullptr with an error set.
PyObject* make_credentials_type();
PyObject* make_engine_options_type();
PyObject* make_load_dotenv();

bool is_credentials(PyObject* object) noexcept;
// object must be a Credentials (is_credentials).
const CredentialsData& credentials_of(PyObject* object) noexcept;
// A new Credentials owning data; nullptr with an error set.
PyObject* new_credentials(CredentialsData data);

// The connection string of a Credentials; call with the interpreter lock held.
Result<SecretString> resolve_dsn(PyObject* credentials);

// The environment convention of `from_env(client_code, environment=None)`:
// client_code a str, environment a str or None (other types raise
// TypeError). nullopt with a Python error set (ConfigurationError for
// missing variables).
std::optional<CredentialsData> credentials_from_env(PyObject* client_code, PyObject* environment);

bool is_engine_options(PyObject* object) noexcept;
// A copy of the options of an EngineOptions; the defaults for None or nullptr.
vantorel::EngineOptions options_of(PyObject* options_or_none);

}  // namespace vantorel::py
