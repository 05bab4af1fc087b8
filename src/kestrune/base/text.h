// Unicode text on UTF-8 strings, with the semantics of Python's `str`.
//
// Every string here is UTF-8. Positions, lengths and cuts count code points
// unless a name says bytes. Decoded text is valid UTF-8 (decode() makes it so);
// strings from the operating system (names, arguments, environment values) are
// kept as their bytes, and each byte that cannot be decoded counts as one code
// point, U+DC00 plus the byte: the lone surrogate Python's os.fsdecode
// (surrogateescape) makes of it. Like a lone surrogate in Python, it is no
// space, letter or digit and has no case. Nothing here produces such a byte
// that was not in the input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::text {

// ---- decoding -------------------------------------------------------------

enum class Errors { Drop, Replace, Strict };

// Decodes bytes as UTF-8 like Python's bytes.decode('utf-8', errors): Drop
// removes undecodable bytes ("ignore"), Replace puts U+FFFD per maximal invalid
// subpart ("replace"), Strict throws std::runtime_error. Surrogate code points
// encoded in UTF-8 are invalid, as in Python.
std::string decode(std::string_view bytes, Errors errors);
bool is_valid_utf8(std::string_view bytes);

// "\r\n" and lone "\r" become "\n" (text-mode reading with universal newlines).
std::string universal_newlines(std::string_view s);

// A leading U+FEFF removed ("utf-8-sig").
std::string_view strip_bom(std::string_view s);

// What Python writes for the str `s` to a stream with errors="backslashreplace"
// (sys.stderr): each undecodable byte as "\udcXX".
std::string backslashreplace(std::string_view s);

// ---- code points ----------------------------------------------------------

// Decodes the code point at byte offset `i` and advances `i` past it; a byte
// that cannot be decoded there gives U+DC00 plus the byte, and `i` moves one.
char32_t next(std::string_view s, size_t& i);
// Appends the UTF-8 of `cp`; U+DC80..U+DCFF append their byte back, any other
// surrogate (which has no UTF-8) appends U+FFFD.
void append(std::string& out, char32_t cp);

size_t length(std::string_view s);                  // len(s)
size_t byte_offset(std::string_view s, size_t cps);  // bytes of the first `cps` code points (clamped)
size_t cp_offset(std::string_view s, size_t bytes);  // code points in s[0:bytes] (bytes on a boundary)
std::string_view head(std::string_view s, size_t n); // s[:n]
// s[start:stop] with Python's negative indices and clamping; nullopt means omitted.
std::string_view slice(std::string_view s, std::optional<long long> start,
                       std::optional<long long> stop);

// ---- character classes ----------------------------------------------------

bool isspace(char32_t c);   // Python str.isspace of one character
bool isupper(char32_t c);   // Python str.isupper of one character (Lu or Other_Uppercase)
bool islower(char32_t c);   // Python str.islower of one character
bool isalpha(char32_t c);   // categories L*
bool isdecimal(char32_t c); // Python str.isdecimal of one character (category Nd)
bool isdigit(char32_t c);   // Python str.isdigit of one character
bool isalnum(char32_t c);   // Python str.isalnum of one character
bool isprintable(char32_t c);  // Python str.isprintable of one character
bool is_word(char32_t c);   // what Python's \w matches: isalnum or "_"

// ---- transforms -----------------------------------------------------------

std::string lower(std::string_view s);  // full case mapping, final sigma included
std::string upper(std::string_view s);  // full case mapping ('ß' -> "SS")

// strip()/lstrip()/rstrip() with Python's whitespace set, or with the given
// characters (each code point of `chars` is one character to remove).
std::string_view strip(std::string_view s);
std::string_view lstrip(std::string_view s);
std::string_view rstrip(std::string_view s);
std::string_view strip(std::string_view s, std::string_view chars);
std::string_view lstrip(std::string_view s, std::string_view chars);
std::string_view rstrip(std::string_view s, std::string_view chars);

// str.split() with no separator: runs of whitespace separate, no empty pieces.
std::vector<std::string_view> split(std::string_view s);
// str.split(sep) with a non-empty separator.
std::vector<std::string_view> split(std::string_view s, std::string_view sep);
// str.splitlines(): breaks at \n \r \r\n \v \f \x1c \x1d \x1e \x85 \u2028 \u2029,
// without the breaks, no empty last entry for a trailing break.
std::vector<std::string_view> splitlines(std::string_view s);

std::string join(const std::vector<std::string_view>& parts, std::string_view sep);
std::string join(const std::vector<std::string>& parts, std::string_view sep);
std::string replace(std::string_view s, std::string_view from, std::string_view to);
// <0, 0 or >0 as Python orders the two strs: by code point, so an undecodable
// byte (U+DC80..U+DCFF) sorts after U+D7FF and before U+E000. For valid UTF-8
// that is plain byte order.
int compare(std::string_view a, std::string_view b);
bool starts_with(std::string_view s, std::string_view prefix);
bool ends_with(std::string_view s, std::string_view suffix);
bool contains(std::string_view s, std::string_view needle);
size_t count(std::string_view s, std::string_view needle);  // non-overlapping, like str.count

// ---- numbers --------------------------------------------------------------

// round(x) as Python rounds to an integer: half to even.
long long round_half_even(double x);
// format(x, '.Nf'): correctly rounded fixed notation.
std::string format_fixed(double x, int decimals);

}  // namespace kestrune::text
