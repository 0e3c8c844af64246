#pragma once
// Reading and writing whole store files.

#include <optional>
#include <string>
#include <string_view>

// The whole content of the file at path, or std::nullopt when no file is there.
// A file that exists but cannot be read throws RecordTableError:
//   Cannot open file "<path>". <system's reason>
std::optional<std::string> readStoreFile(const std::string& path);

// Replaces the file at path with content, atomically: the content goes into a new
// temporary file in the same folder, is flushed to the disk, and then takes the
// store file's place, so a crash leaves either the old file or the new one, whole.
// The file is readable and writable by its owner only. On failure the temporary file
// is removed, the store file is left as it was, and RecordTableError is thrown:
//   Cannot create file "<path>". <system's reason>
// After a successful write, temporary files of this store that killed writers left
// behind ("<name>.tmp-" and six letters or digits, regular files only) are removed;
// one that another process is still writing (it holds a lock on it) is left alone.
void writeStoreFileAtomically(const std::string& path, std::string_view content);
