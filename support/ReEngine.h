// The pattern engine's entry points: compile a pattern into a fixed area,
// test a text against it, and explain why a pattern does not compile.
//
// The language (documented for requesters in docs/patterns.md): literals,
// any byte including zero; "." (any byte, newline included); classes
// [...] and [^...] with ranges; \d \D \w \W \s \S; \xHH \n \r \t \0 and
// escaped punctuation; * + ? {m} {m,} {m,n} (m, n up to 1000) and their
// lazy forms; |; ( ) and (?: ); ^ (start of text), $ (end of text), \b, \B;
// a leading (?i) for ASCII case-insensitivity. A match may lie anywhere in
// the text. Matching takes time linear in the text whatever the pattern,
// and neither compiling nor matching allocates.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kPatternAreaSize = 2600;

// Compiles the pattern [begin, end) into `area` (kPatternAreaSize bytes,
// zero-filled by the caller). The two trailing arguments are reserved and
// must be 0. Returns whether the pattern compiled; when it did not, the
// area is left all zero, and an all-zero area never matches.
bool reMake(uint8_t* area, const uint8_t* begin, const uint8_t* end, int reserved1, int reserved2);

// The same, also giving the reason for a failure (a fixed text, null after
// success).
bool reMake(uint8_t* area, const uint8_t* begin, const uint8_t* end, int reserved1, int reserved2,
            const char** reason);

// Null when [begin, end) compiles; otherwise why not, and (when `offset` is
// given) the offset in the pattern where the fault was found. For callers
// that want to refuse a pattern before sending it anywhere.
const char* reExplain(const uint8_t* begin, const uint8_t* end, size_t* offset = nullptr);

// Non-zero when the compiled pattern in `area` matches somewhere in the
// text [begin, end); 0 otherwise, and always 0 for an area that holds no
// compiled pattern.
int reMatchChar(const uint8_t* area, const uint8_t* begin, const uint8_t* end);
