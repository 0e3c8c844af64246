#pragma once
// A table's changes merged into its store file as someone else left it. Several
// copies of the program may have one list open at once; nothing coordinates them
// while they run. An open table remembers the file its records came from, stamped
// just before it was read, and its RecordSet keeps the records read. When a close
// finds the file at the path no longer that one, it reads the records now there
// (theirs) and writes them with this table's changes applied, instead of its own
// records alone:
// - the records this table deleted (read, no longer held) are taken out of theirs,
//   as many as theirs still holds of each;
// - the records it added (held, not read) come after theirs, in storage order;
// - an edit deletes the old record and adds the new one, so two copies that edited
//   one record leave both results; an edit that ends where it began changes nothing;
// - records are compared as whole values (every field), each duplicate counting.
// Theirs keeps its own changes and its storage order. A file that was only touched
// (another stamp, the records read) is no change: the table's own records are
// written. The writer's lock keeps other writers out from the stamp check to the
// rename (see writeStoreFileAtomicallyFrom).

#include "FieldTypes.h"
#include "RecordSet.h"
#include "StoreFile.h"

#include <string>
#include <vector>

// The file a table's records came from.
struct FileRead {
    std::string path;  // empty when there is nothing to merge with: a close replaces the file
    StoreFileStamp stamp;
};

// What open() reads: the file at path, stamped before it is read, so that a file
// replaced during the read is never taken for the one read.
FileRead stampBeforeReading(const std::string& path);

// What createEmpty() starts from: no records. When no file is at path yet, one that
// another writer puts there before the close is merged with; a file that is already
// there is replaced at the close, unread.
FileRead startingEmpty(const std::string& path);

// Writes the records to path as a close does: the records held, when the file there
// is still the one they came from (or path is not that file's); else the records now
// in the file with the changes merged in. Returns true when it merged. What to write
// is decided while the writer's lock is held. A file that changed and cannot be
// merged throws RecordTableError and is left alone:
//   Cannot create file "<path>". It was removed since it was read
//   Cannot create file "<path>". It changed since it was read and cannot be merged: <why>
//   Cannot create file "<path>". It changed since it was read and now holds other fields
// A write that fails after its content took the file's place (its folder could not
// be flushed) clears read.path: the file holds the table's changes already, so the
// next write replaces it rather than merge them in again.
bool writeForClose(const RecordSet& records, const std::vector<FieldDef>& fields, FileRead& read,
                   const std::string& path);
