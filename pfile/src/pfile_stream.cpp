// Streams of parameter files, shared by the IRAF-syntax and the tab-separated
// formats: reading a whole file, opening and parsing it into a list that owns
// the stream, rewriting a stream from a list, and replacing a file whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pfile/pfile.h"
#include "util/util.h"
#include "pfile_int.h"

namespace pfile_detail {

std::string read_stream(FILE* stream) {
  std::string text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
    text.append(chunk, n);
  }
  return text;
}

ParamList* open_list_file(const char* path, const char* mode, ParamList* (*parse)(FILE*),
                          ParamReader read, ParamWriter writ) {
  // Locking ('l' in the mode) is not needed by a single-process tool.
  FILE* stream = std::fopen(path, has_letter(mode, 'w') ? "r+" : "r");
  if (stream == nullptr) {
    return nullptr;
  }
  ParamList* list = parse(stream);
  if (list == nullptr) {
    std::fclose(stream);
    return ParamFileCant;
  }
  list->file = stream;
  list->filename = dup_string(path);
  list->mode = dup_string(mode != nullptr ? mode : "");
  list->clos = nullptr;
  list->read = read;
  list->writ = writ;
  return list;
}

void rewrite_stream(FILE* stream, const ParamList* list, const char* head,
                    std::string (*line)(const Parameter*)) {
  if (std::fseek(stream, 0, SEEK_SET) != 0) {
    std::perror("fseek");
    return;
  }
  std::fputs(head, stream);
  for (int i = 0; i < list->nparam; ++i) {
    const Parameter* p = list->param[i];
    if (p == nullptr) {
      continue;
    }
    std::string text = line(p);
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size()) {
      std::string what = std::string("could not write param '") + (p->pname ? p->pname : "") + "'";
      std::perror(what.c_str());
    }
  }
  std::fflush(stream);
  long end = std::ftell(stream);
  if (end >= 0 && ftruncate(fileno(stream), static_cast<off_t>(end)) != 0) {
    std::perror("ftruncate");
  }
}

FILE* replace_file(const std::string& path, ParamList* list, const char* mode) {
  // A link is followed, so that the file it names is replaced and the link kept.
  std::string target = path;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
      return nullptr;
    }
    target = real;
    std::free(real);
  }
  // An existing file keeps its permissions; a new one gets those of a file
  // the user creates.
  mode_t perms = 0;
  if (stat(target.c_str(), &st) == 0) {
    perms = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    perms = 0666 & ~mask;
  }
  // In a hidden private folder, where no search takes it for a parameter file
  // and no one else can plant a link at its name.
  char temp[PATH_MAX + 64];
  if (sys_own_file(target.c_str(), temp, sizeof temp) != 0) {
    return nullptr;
  }
  int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* out = fd < 0 ? nullptr : fdopen(fd, "w+");
  if (out == nullptr) {
    int saved = errno;
    if (fd >= 0) close(fd);
    sys_own_file_remove(temp);
    errno = saved;
    return nullptr;
  }
  list->writ(out, list, mode);
  bool ok = std::fflush(out) == 0 && !std::ferror(out) && fchmod(fd, perms) == 0 &&
            fsync(fd) == 0 && sys_own_file_commit(temp, target.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    std::fclose(out);
    sys_own_file_remove(temp);
    errno = saved;
    return nullptr;
  }
  return out;
}

}  // namespace pfile_detail
