// Reader and writer of OpenFst's binary vector-FST file format.
//
// Our own implementation rather than StdVectorFst::Read/Write: the set of
// files accepted, the messages for rejected ones and the bytes written are
// part of vurel's interface, and must not change with the OpenFst version.
#ifndef VUREL_CORE_FST_FILE_H_
#define VUREL_CORE_FST_FILE_H_

#include <cstddef>
#include <span>
#include <string>

#include "model/flat_fst.h"
#include "openfst.h"
#include "result.h"

namespace vurel {

// Reads the file at `path` (relative to the working directory) into a
// VectorFst with its symbol tables and the header's known properties.
// Fails with kInvalidInput and the reader's message (for example
// "Parsing Error: Error while parsing binary VectorFst. Error kind Eof");
// the message carries no operating-system error text. Also rejected, with a
// message naming the culprit: strings that are not UTF-8, arcs leading to a
// state that does not exist, and a start state that does not exist. Memory
// use stays in proportion to the file's size whatever its counts claim.
Result<VectorFst> ReadFstFile(const std::string &path);

// The same file read into a FlatFst; same rules and messages.
Result<FlatFst> ReadFlatFstFile(const std::string &path);

// Decodes a whole file already in memory; same rules and messages as
// ReadFstFile once the file has been read.
Result<VectorFst> ParseFst(std::span<const std::byte> bytes);

// Writes `fst` to `path`, creating or truncating the file (mode 0666 before
// the umask). A file that fails part-way is left as far as it was written;
// the error then holds the operating system's text. Symbol tables must have
// the labels 0 to N-1 (kInternal otherwise, before the file is touched).
Status WriteFstFile(const VectorFst &fst, const std::string &path);

// The path in double quotes, with backslash escapes for quotes, backslashes
// and control characters (\t \n \r \0, others as \u{1b}), and bytes that
// are not UTF-8 as \xFF escapes.
std::string QuotePath(std::string_view path);

}  // namespace vurel

#endif  // VUREL_CORE_FST_FILE_H_
