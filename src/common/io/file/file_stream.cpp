#include "common/io/file/file_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune {

namespace {
AudioIOError last_os_error() { return AudioIOError::from_errno(errno ? errno : EIO); }
}  // namespace

IoResult<InputFile> InputFile::open(const std::string& path) {
  errno = 0;
  InputFile in;
  in.file_.reset(std::fopen(path.c_str(), "rb"));
  if (!in.file_) return std::unexpected(last_os_error());
  in.buffer_ = std::make_unique<char[]>(kFileBufferBytes);
  std::setvbuf(in.file_.get(), in.buffer_.get(), _IOFBF, kFileBufferBytes);
  return in;
}

IoStatus InputFile::read_exact(void* dst, std::size_t n) {
  auto got = read_some(dst, n);
  if (!got) return std::unexpected(got.error());
  if (*got != n) return std::unexpected(AudioIOError::short_read());
  return {};
}

IoResult<std::size_t> InputFile::read_some(void* dst, std::size_t n) {
  errno = 0;
  const std::size_t got = std::fread(dst, 1, n, file_.get());
  if (got < n && std::ferror(file_.get())) return std::unexpected(last_os_error());
  return got;
}

IoStatus InputFile::seek(std::int64_t offset, int whence) {
  errno = 0;
  if (fseeko(file_.get(), static_cast<off_t>(offset), whence) != 0) return std::unexpected(last_os_error());
  return {};
}

IoResult<std::int64_t> InputFile::tell() {
  errno = 0;
  const off_t pos = ftello(file_.get());
  if (pos < 0) return std::unexpected(last_os_error());
  return static_cast<std::int64_t>(pos);
}

IoResult<OutputFile> OutputFile::create(const std::string& path) {
  errno = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(last_os_error());
  OutputFile out;
  out.file_.reset(fdopen(fd, "wb"));
  if (!out.file_) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(AudioIOError::from_errno(err));
  }
  out.buffer_ = std::make_unique<char[]>(kFileBufferBytes);
  std::setvbuf(out.file_.get(), out.buffer_.get(), _IOFBF, kFileBufferBytes);
  return out;
}

IoStatus OutputFile::write_all(const void* src, std::size_t n) {
  errno = 0;
  if (std::fwrite(src, 1, n, file_.get()) != n)
    return std::unexpected(errno ? last_os_error() : AudioIOError::short_write());
  return {};
}

IoStatus OutputFile::flush() {
  errno = 0;
  if (std::fflush(file_.get()) != 0) return std::unexpected(last_os_error());
  return {};
}

IoStatus OutputFile::write_at(std::int64_t offset, const void* src, std::size_t n) {
  const int fd = fileno(file_.get());
  const auto* p = static_cast<const char*>(src);
  while (n > 0) {
    errno = 0;
    const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(last_os_error());
    }
    if (w == 0) return std::unexpected(AudioIOError::short_write());
    p += w;
    n -= static_cast<std::size_t>(w);
    offset += w;
  }
  return {};
}

IoResult<FileImage> read_whole_file(const std::string& path, std::size_t zero_padding) {
  auto in = InputFile::open(path);
  if (!in) return std::unexpected(in.error());
  // The size is only a hint for the first allocation: reading goes on until
  // end of file, so files that change while being read are handled too.
  std::size_t cap = 64 * 1024;
  if (in->seek(0, SEEK_END)) {
    if (auto end = in->tell(); end && *end > 0) cap = static_cast<std::size_t>(*end) + 1;
    if (auto s = in->seek(0, SEEK_SET); !s) return std::unexpected(s.error());
  }
  FileImage img;
  for (;;) {
    img.bytes.resize(img.size + cap);
    auto got = in->read_some(img.bytes.data() + img.size, cap);
    if (!got) return std::unexpected(got.error());
    img.size += *got;
    if (*got < cap) break;
    cap = std::max<std::size_t>(cap, 1u << 20);
  }
  img.bytes.resize(img.size + zero_padding);
  std::fill(img.bytes.begin() + static_cast<std::ptrdiff_t>(img.size), img.bytes.end(), 0);
  return img;
}

}  // namespace kestrune
