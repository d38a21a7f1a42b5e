// The control interface every variant of the crypto-library stand-in exports
// beside its "VCERT_" entries. Tests reach it through PkiControl
// (PkiTesting.h), which resolves these names from the loaded library; the
// wrapper never sees them. All functions are thread-safe.
//
// Texts are returned the snprintf way: up to len - 1 bytes and a terminator
// are written to buf (nothing when len is 0), and the full length of the text
// is returned so the caller can grow its buffer.
#pragma once

#include <cstdint>

extern "C" {

// The nth call (1-based, from now) of the entry fails with status; nth 0 =
// every call. The name may carry the "VCERT_" prefix or not. Returns 0, or -1
// for a name that is not an entry.
using PKISTUB_FailCall_t = int (*)(const char* entry, std::uint32_t nth, std::uint32_t status);
// Error-stack script: cleared by Reset; lines appended newest first.
using PKISTUB_ScriptErrorLine_t = void (*)(const char* file, std::uint32_t line, const char* text,
                                           const char* extra);
using PKISTUB_ScriptEndlessErrorStack_t = void (*)();
using PKISTUB_ScriptOverlongErrorText_t = void (*)();
using PKISTUB_LiveAllocations_t = std::int64_t (*)();
using PKISTUB_UnknownFrees_t = std::int64_t (*)();
using PKISTUB_MaxConcurrentInitialize_t = std::uint32_t (*)();
// 0xFFFFFFFF for a name that is not an entry.
using PKISTUB_CallCount_t = std::uint32_t (*)(const char* entry);
// Entry names separated by "\n".
using PKISTUB_CallTrace_t = std::uint32_t (*)(char* buf, std::uint32_t len);
// 0xFFFFFFFF for a name that is not an entry.
using PKISTUB_LastCall_t = std::uint32_t (*)(const char* entry, char* buf, std::uint32_t len);
using PKISTUB_OpenContexts_t = std::int64_t (*)();
using PKISTUB_ClosedContextCalls_t = std::int64_t (*)();
using PKISTUB_Reset_t = void (*)();

}  // extern "C"
