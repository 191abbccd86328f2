// Last-error text of the C API: one string per thread.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace tq {

// The calling thread's last-error text.
std::string& lastError();
void clearErr();
// Fixed text, as set by argument checks.
void setErrText(const std::string& text);
// "<fn>: <what>", as set when an exception is caught at the C boundary.
void setErr(const char* fn, const std::exception& e);
void setErr(const char* fn, const char* what);

// Copies at most cap - 1 bytes of msg and a terminating zero into a caller's
// buffer; nothing when dst is null or cap is 0.
void fill_err(char* dst, std::size_t cap, const std::string& msg);

}  // namespace tq
