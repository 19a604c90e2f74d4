#pragma once
// Streaming Keepa conversion: writes
//   to_pretty_json(add_keepa_time_conversions(Json::parse(input)))
// byte for byte, without building the document tree, so that payloads of tens of megabytes
// convert quickly and in little more memory than the input itself.
//
// How it works. One SAX pass over the input writes each member as it arrives, plus the added
// members right after it. The only non-local part of the result is a name collision inside one
// object: a duplicate input name, or an input name equal to an added one ("lastUpdateUtc" in
// already converted data). The tree keeps such a name at its first position with its last value,
// which a writer that has already written the first value cannot do. So the pass tracks the
// names of every open object and records the ordinal (position in document order) of each object
// where a name repeats. Without collisions, the usual case, the written bytes are the result.
// With collisions a second pass writes everything again and holds back only the members of the
// recorded objects, which it assembles in tree order when such an object closes. "csv" arrays
// are also kept as a tree while they stream, to derive "csvUnixSeconds" when they close.
//
// The first pass writes straight to a destination that can be rewound (a string, a regular
// file, /dev/null) and rewinds it when a second pass or an error follows. For any other
// destination (a pipe, a terminal) the first pass only checks the input and records collisions,
// and the second pass writes; nothing is written for input that is not valid JSON.
//
// A pass that writes and has a large input runs the parser on a second thread, which hands its
// events over in chunks (parse_pipeline.hpp), so parsing and writing overlap on two cores. The
// thread is always joined before the call returns or throws.
//
// Memory: a 1 MiB write buffer, a few chunks of parser events, the names of the open objects,
// the current "csv" array and, after collisions, the held-back members of the colliding objects
// (all of the output when the outermost object collides); plus the input. Input in a string is
// the caller's and stays whole. A mapped file (mapped_input.hpp) stays resident only about one
// release block behind the parse position: each pass hands back the blocks it has moved past,
// and a second pass reads them back from the page cache. Held members nested in held members
// are moved up, never copied, so time stays linear in the size of the output.
//
// Nesting: no recursion, but pretty output grows with the square of the depth, so arrays and
// objects nested deeper than MAX_NESTING_DEPTH are refused (Keepa payloads nest a few levels).

#include <cstddef>
#include <string>
#include <string_view>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"
#include "vendro/keepa/convert_output.hpp"
#include "vendro/keepa/mapped_input.hpp"

namespace vendro::keepa {

// The input is not valid JSON (syntax, invalid UTF-8, a number too large for a double, anything
// but white space after the value). The Chinese message carries the parser's description with
// the position.
VENDRO_DEFINE_ERROR(KeepaJsonError, InputError, "INVALID_JSON");

// The deepest nesting of arrays and objects that is converted: the same bound as every other
// JSON vendro reads.
inline constexpr std::size_t MAX_NESTING_DEPTH = MAX_JSON_DEPTH;
// The input nests arrays and objects deeper than MAX_NESTING_DEPTH.
VENDRO_DEFINE_ERROR(KeepaTooDeepError, KeepaJsonError, "JSON_TOO_DEEP");

// Writes the converted, pretty-printed document of `input` to `output` (no trailing newline).
// Throws KeepaJsonError for invalid input, KeepaInterrupted once `stop` (when given) is set, and
// whatever `output` throws; in each case a rewindable output is rewound, and a non-rewindable
// one has received nothing for invalid input. `stop` is read between parser events.
void convert_stream(std::string_view input, ConvertOutput& output, const StopFlag* stop = nullptr);
// The same for a mapped file, releasing the input as it goes. Blocks on the file's pages. When
// the file shrinks meanwhile (another program truncates it), throws FileError instead of what
// the cut-off input would give, also when the conversion got through (MappedInput::check_intact).
void convert_stream(const MappedInput& input, ConvertOutput& output,
                    const StopFlag* stop = nullptr);

// convert_stream into a new string.
std::string convert_to_string(std::string_view input);

}  // namespace vendro::keepa
