// Opening and closing parameter files: the user copy found along the search
// path, the reference copy behind the ";" of the path, the reset from the
// reference copy, the one-time copy of a reference file into the user
// directory, the open-file list and the formats table.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "param_args.h"
#include "pfile/pfile.h"
#include "rdb_format.h"
#include "pfile_int.h"
#include "pfile_value_int.h"

using pfile_detail::DefaultExtensions;
using pfile_detail::DefaultSearchPath;
using pfile_detail::dup_string;
using pfile_detail::has_letter;

ParamFormat ParamFormats[] = {
    {IRAFParOpen, ".par", c_paramfind},
    {RDBParOpen, ".rdb", c_paramfind},
    {nullptr, nullptr, nullptr},
};

ParamFile*& PFList = pfile_detail::state.open_files;

namespace {

char (&last_name)[pfile_detail::LastNameMax + 1] = pfile_detail::state.last_name;

std::string last_component(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A finder's result copied out of its static buffer ("" when nothing was found).
std::string found(char* result) { return result != nullptr ? std::string(result) : std::string(); }

ParamList* open_list(const ParamFormat& f, const std::string& path, const char* mode) {
  return path.empty() ? nullptr : f.open(path.c_str(), mode);
}

bool is_current_dir(const std::string& dir) {
  if (dir.empty() || dir == ".") {
    return true;
  }
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) != nullptr && dir == cwd;
}

// A user directory from the search for "." with mode; a trailing "." removed.
std::string user_dir(const char* mode) {
  std::string dir = found(findpath(".", mode, DefaultSearchPath));
  if (dir.size() >= 2 && dir.compare(dir.size() - 2, 2, "/.") == 0) {
    dir.resize(dir.size() - 2);
  } else if (dir == ".") {
    dir.clear();
  }
  return dir;
}

// The directory a reference file is copied into: "" for none, or false for
// PARAM_REFERENCE_COPY_FAILED.
bool copy_target(const std::string& name, std::string& target) {
  std::size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    target = slash == 0 ? "/" : name.substr(0, slash);
    return true;
  }
  target = user_dir("wr<");
  if (!is_current_dir(target)) {
    return true;
  }
  target.clear();
  std::string readable = user_dir("r<");
  // A user directory that can be read but not written cannot take the copy.
  return is_current_dir(readable);
}

// Copies the reference list into target/basename and makes it the list's file.
bool copy_reference(ParamList* ref, const std::string& target, const char* mode) {
  std::string path = target;
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += last_component(ref->filename ? ref->filename : "");
  // The name the copy is known by is canonical, like every name the search gives.
  char canonical[ParamPathMax];
  ResolvePath(path.c_str(), canonical, sizeof canonical);
  path = canonical;
  // Concurrent first runs share the user directory: each one's copy appears
  // there whole, so that no run reads a file still being written.
  FILE* out = ref->writ != nullptr ? pfile_detail::replace_file(path, ref, mode) : nullptr;
  if (out == nullptr) {
    return false;
  }
  if (ref->file != nullptr) {
    std::fclose(ref->file);
  }
  ref->file = out;
  std::free(ref->filename);
  ref->filename = dup_string(path.c_str());
  std::free(ref->mode);
  ref->mode = dup_string(mode);
  return true;
}

void free_list(ParamList* list) {
  if (list == nullptr || list == ParamFileCant) {
    return;
  }
  if (list->file != nullptr) {
    std::fclose(list->file);
    list->file = nullptr;
  }
  PListFree(list);
}

ParamFile* fail(int code, ParamList* a, ParamList* b) {
  free_list(a);
  free_list(b);
  parerr = code;
  return nullptr;
}

}  // namespace

const char* pfilelast(void) { return last_name; }

ParamFile* ParamFileLookup(const char* name) {
  if (name == nullptr) {
    return nullptr;
  }
  if (*name == '\0') {
    return PFList;
  }
  for (ParamFile* pf = PFList; pf != nullptr; pf = pf->next) {
    if (pf->psets != nullptr && pf->psets->filename != nullptr &&
        std::strcmp(pf->psets->filename, name) == 0) {
      return pf;
    }
  }
  return nullptr;
}

int ParamFileMode(ParamFile* file) {
  int hidden = HiddenMode;
  const void* bits = ParamGetX(file, "mode", ModeType, &hidden);
  if (bits == nullptr) {
    parerr = PARAM_OK;
    return 0;
  }
  int mode = 0;
  std::memcpy(&mode, bits, sizeof mode);
  return mode;
}

ParamFile* c_paramopen(const char* filename, char** argv, int argc, const char* mode) {
  pfile_detail::install_value_access();
  if (mode == nullptr) {
    mode = "rw";
  }
  const std::string front = std::string(mode) + "<";
  const char* back = "r>";
  parerr = PARAM_OK;

  std::string name = filename != nullptr ? filename : "";
  std::vector<char*> args;
  if (argv != nullptr && argc > 0) {
    args.assign(argv, argv + argc);
  }
  if (name.empty() && !args.empty()) {
    if (args.size() >= 2 && args[1] != nullptr && std::strncmp(args[1], "@@", 2) == 0) {
      name = last_component(args[1] + 2);
      // The "@@file" word names the parameter file; it is no argument.
      args.erase(args.begin() + 1);
    } else if (args[0] != nullptr) {
      name = last_component(args[0]);
    }
  }
  if (name.empty()) {
    parerr = PARAM_FILE_NOT_FOUND;
    return nullptr;
  }
  pfile_detail::copy_text(name, last_name, sizeof last_name);

  const bool reset = has_letter(mode, 'R');
  if (!has_letter(mode, 'f')) {
    std::string path = found(c_paramfind(name.c_str(), reset ? back : front.c_str(),
                                         DefaultExtensions, DefaultSearchPath));
    if (!path.empty()) {
      if (ParamFile* open = ParamFileLookup(path.c_str())) {
        return open;
      }
    }
  }

  ParamList* user = nullptr;
  ParamList* ref = nullptr;
  std::string user_path;
  for (const ParamFormat* f = ParamFormats; f->open != nullptr && user == nullptr && ref == nullptr;
       ++f) {
    user_path = found(f->find(name.c_str(), front.c_str(), f->extension, DefaultSearchPath));
    user = open_list(*f, user_path, mode);
    if (user == nullptr || reset) {
      std::string ref_path =
          found(f->find(last_component(name).c_str(), back, f->extension, DefaultSearchPath));
      ref = open_list(*f, ref_path, back);
    }
  }

  if (user == nullptr && ref == nullptr) {
    return fail(PARAM_FILE_NOT_FOUND, nullptr, nullptr);
  }
  if (reset && (ref == nullptr || ref == ParamFileCant)) {
    return fail(PARAM_NO_REFERENCE, user, ref);
  }
  if (user == ParamFileCant) {
    if (!reset) {
      return fail(PARAM_FILE_READ_ERROR, nullptr, ref);
    }
    user = nullptr;
  }
  if (ref == ParamFileCant) {
    if (user == nullptr) {
      return fail(PARAM_FILE_READ_ERROR, nullptr, nullptr);
    }
    ref = nullptr;
  }

  ParamList* list = user;
  if (user != nullptr && ref != nullptr) {
    // Reset: the reference parameters are written into the user's file on close.
    // The user's stream is opened for update so that the write-back can happen
    // whatever the caller's mode was.
    FILE* stream = std::fopen(user->filename, "r+");
    if (stream != nullptr) {
      std::fclose(user->file);
    } else {
      stream = user->file;
    }
    user->file = nullptr;
    if (ref->file != nullptr) {
      std::fclose(ref->file);
    }
    ref->file = stream;
    std::free(ref->filename);
    ref->filename = user->filename;
    user->filename = nullptr;
    std::free(ref->mode);
    ref->mode = dup_string("w");
    PListFree(user);
    list = ref;
  } else if (ref != nullptr) {
    std::string target;
    if (!copy_target(name, target)) {
      return fail(PARAM_REFERENCE_COPY_FAILED, nullptr, ref);
    }
    if (target.empty()) {
      std::free(ref->mode);
      ref->mode = dup_string("r");
    } else if (!copy_reference(ref, target, mode)) {
      return fail(PARAM_REFERENCE_COPY_FAILED, nullptr, ref);
    }
    list = ref;
  }

  auto* pf = static_cast<ParamFile*>(std::calloc(1, sizeof(ParamFile)));
  if (pf == nullptr) {
    return fail(PARAM_FILE_NOT_FOUND, list, nullptr);
  }
  pf->psets = list;
  if (args.size() > 1) {
    pf->alist = ParamFileArgs(list, args.data(), static_cast<int>(args.size()));
  }
  pf->mode = ParamFileMode(pf) | (has_letter(mode, 'H') ? NoQueryMode : 0);
  parerr = PARAM_OK;
  pf->next = PFList;
  PFList = pf;
  return pf;
}

void c_paramwrite(ParamFile* file, const char* mode) {
  if (file == nullptr || file->psets == nullptr) {
    return;
  }
  ParamList* list = file->psets;
  if (!has_letter(list->mode, 'w') || list->writ == nullptr || list->file == nullptr) {
    return;
  }
  const char* how = mode ? mode : list->mode;
  // The file is replaced whole, so that a reader never finds it half written.
  // Where no file can be made beside it (a directory the user may not write),
  // it is rewritten in place as the only way left to keep the values.
  if (FILE* fresh =
          list->filename ? pfile_detail::replace_file(list->filename, list, how) : nullptr) {
    std::fclose(list->file);
    list->file = fresh;
    return;
  }
  list->writ(list->file, list, how);
}

void c_paramclose(ParamFile* file) {
  if (file == nullptr) {
    return;
  }
  c_paramwrite(file, nullptr);
  for (ParamFile** link = &PFList; *link != nullptr; link = &(*link)->next) {
    if (*link == file) {
      *link = file->next;
      break;
    }
  }
  free_list(file->psets);
  PListFree(file->alist);
  std::free(file);
}
