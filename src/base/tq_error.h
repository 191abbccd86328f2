// Last-error text of the C API: one string per thread.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace tq {

// The calling thread's last-error text.
std::string& lastError();
// The setters never throw: they run inside the C functions' catch handlers, where
// an escaping exception (an allocation failure) would end the host process.
void clearErr() noexcept;
// Fixed text, as set by argument checks.
void setErrText(const std::string& text) noexcept;
// "<fn>: <what>", as set when an exception is caught at the C boundary.
void setErr(const char* fn, const std::exception& e) noexcept;
void setErr(const char* fn, const char* what) noexcept;

// Copies at most cap - 1 bytes of msg and a terminating zero into a caller's
// buffer; nothing when dst is null or cap is 0.
void fill_err(char* dst, std::size_t cap, const std::string& msg);

}  // namespace tq
