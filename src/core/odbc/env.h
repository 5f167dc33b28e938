#pragma once

#include <sql.h>
#include <string>
#include <vector>

#include "core/error.h"

namespace vantorel::odbc {

// The process-wide environment: created once on first need, never freed.
// A failed creation is stored and reported to every later caller.
Result<SQLHENV> environment();

// Descriptions of the installed drivers (SQLDriversW); an unreadable list is empty.
Result<std::vector<std::string>> installed_drivers();

}  // namespace vantorel::odbc
