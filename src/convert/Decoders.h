#pragma once
// The transfer decoders, file to file, and the choice among them by a part's
// Content-Transfer-Encoding. Both decoders stream: memory does not grow with
// the size of the file.
#include <cstdint>
#include <string>
#include <string_view>

namespace convert {

// Base64 as in MIME: line ends, blanks and any other character outside the
// alphabet are skipped; "=" where padding can stand ends the data, a stray
// one is skipped. An unfinished last group gives the bytes it holds. 0 on
// success, -1 when a file cannot be opened, -2 on a write error. The output
// is created (0600) or truncated. On failure *error, when given, gets the
// errno of the call that failed.
std::int32_t DecodeBase64FileA(const std::string& inPath, const std::string& outPath,
                               int* error = nullptr);

// Undoes uuencoding when the input holds a "begin <mode> <name>" line (or the
// base64 form "begin-base64 <mode> <name>"), and quoted-printable otherwise:
// hard line breaks come out as CR LF, blanks at the end of a line are dropped,
// malformed "=" escapes stay as text. Same results as DecodeBase64FileA.
std::int32_t DecodeFileA(const std::string& inPath, const std::string& outPath,
                         int* error = nullptr);

// The names a message can never take inside the temporary folder: the body
// file the walker writes, the quoted-printable output, and the file that
// holds a message's parts until it is stored.
inline constexpr const char* kBodyFileName = "temp.txt";
inline constexpr const char* kQpFileName = "new.txt";
inline constexpr const char* kPartsFileName = "parts.dat";
inline constexpr std::size_t kMaxSafeNameLength = 120;

// Maps a file name taken from a message to a plain file name that stays
// inside the temporary folder:
// - only the part behind the last "/" or "\" is kept (no folders, no drive);
// - control characters, ":" and DEL become "_";
// - a name of dots only, or an empty one, becomes "UNKNOWN.DAT";
// - a leading "." becomes "_" so that no hidden or special entry is made;
// - longer names are cut to kMaxSafeNameLength bytes, keeping the extension;
// - "temp.txt", "new.txt" and "parts.dat" (in any case) get a leading "_": a
//   decode must never delete or overwrite the body file it reads, the QP
//   output or the parts kept so far.
std::string SafeTempName(std::string_view name);

// Runs the decoder that the encoding value selects (trimmed of blanks,
// upper-cased) on tempDir + "temp.txt" and returns the path of the data file
// to attach:
//   QUOTED-PRINTABLE -> DecodeFileA into tempDir + "new.txt";
//   BASE64           -> delete, then DecodeBase64FileA into tempDir + safe name;
//   UUCODE           -> delete, then DecodeFileA into tempDir + safe name;
//   anything else    -> tempDir + "temp.txt" itself.
// tempDir ends with "/". When the data file could not be written whole,
// *error (when given) gets the errno; the caller must not store what the file
// then holds.
std::string DecodeAttachment(const std::string& tempDir, const std::string& fileName,
                             std::string_view encoding, int* error = nullptr);

// The path DecodeAttachment returns for these arguments, without decoding.
std::string DataFilePath(const std::string& tempDir, const std::string& fileName,
                         std::string_view encoding);

}  // namespace convert
