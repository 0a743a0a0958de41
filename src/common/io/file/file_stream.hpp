// Buffered file handles with the library's I/O error texts, shared by the
// formats that read and write files themselves (WAV, MP3, AAC ADTS).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/io/io.hpp"

namespace kestrune {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

class InputFile {
 public:
  static IoResult<InputFile> open(const std::string& path);

  // Exactly n bytes; a short read is "failed to fill whole buffer".
  IoStatus read_exact(void* dst, std::size_t n);
  // Up to n bytes; 0 at end of file. A read error is an Io error.
  IoResult<std::size_t> read_some(void* dst, std::size_t n);
  IoStatus seek(std::int64_t offset, int whence);
  IoResult<std::int64_t> tell();

 private:
  // Declared first so it outlives the FILE that buffers into it.
  std::unique_ptr<char[]> buffer_;
  FilePtr file_;
};

class OutputFile {
 public:
  // Creates or truncates (permission bits 0666 before the umask).
  static IoResult<OutputFile> create(const std::string& path);

  IoStatus write_all(const void* src, std::size_t n);
  IoStatus flush();
  // Writes at an absolute offset without moving the append position.
  IoStatus write_at(std::int64_t offset, const void* src, std::size_t n);

 private:
  // Declared first so it outlives the FILE that buffers into it.
  std::unique_ptr<char[]> buffer_;
  FilePtr file_;
};

inline constexpr std::size_t kFileBufferBytes = 8192;

// The whole file, followed by `zero_padding` zero bytes that are not part of
// the contents (parsers that read a little past the end need them).
struct FileImage {
  Bytes bytes;
  std::size_t size = 0;  // length of the contents
};
IoResult<FileImage> read_whole_file(const std::string& path, std::size_t zero_padding = 0);

}  // namespace kestrune
