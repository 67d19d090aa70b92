// Search for parameter files: extension and directory lists taken partly from
// environment variables, a user and a reference part divided by ";", a
// permission test on each candidate, and the fallback to the UPARM directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pfile/pfile.h"
#include "pfile_int.h"

namespace {

using pfile_detail::has_letter;

constexpr int ExpandMax = 1024;

// Every search result lives here until the next search.
char (&result_buf)[ParamPathMax] = pfile_detail::state.found;

bool is_separator(char c) { return c == ' ' || c == ':' || c == ';'; }

std::string without(const char* mode, char c) {
  std::string m = mode ? mode : "";
  m.erase(std::remove(m.begin(), m.end(), c), m.end());
  return m;
}

// One item of a list, and whether a semicolon came before it in that list.
struct Item {
  std::string text;
  bool after_semicolon;
};

std::vector<Item> split_list(const char* list) {
  std::vector<Item> items;
  bool semicolon = false;
  const char* s = list;
  while (s != nullptr && *s != '\0') {
    if (is_separator(*s)) {
      semicolon = semicolon || *s == ';';
      ++s;
      continue;
    }
    const char* start = s;
    while (*s != '\0' && !is_separator(*s)) {
      ++s;
    }
    items.push_back({std::string(start, static_cast<std::size_t>(s - start)), semicolon});
  }
  return items;
}

// Depth guard: a variable whose value names itself must not recurse forever.
constexpr int MaxDepth = 32;

char* search_path(const char* name, const char* mode, const char* path, int depth) {
  if (depth > MaxDepth) {
    return nullptr;
  }
  if (has_letter(mode, '<') && has_letter(mode, '>')) {
    return nullptr;
  }
  std::string cur_mode = mode ? mode : "";
  bool reference_only = has_letter(mode, '>');
  bool user_only = has_letter(mode, '<');
  for (const Item& item : split_list(path)) {
    if (item.after_semicolon) {
      if (user_only) {
        break;
      }
      if (reference_only) {
        cur_mode = without(mode, '>');
        reference_only = false;
      }
    }
    if (item.text[0] == '$') {
      const char* value = std::getenv(item.text.c_str() + 1);
      if (value == nullptr) {
        continue;
      }
      std::string inner(value);  // getenv storage may change during the search
      if (char* found = search_path(name, cur_mode.c_str(), inner.c_str(), depth + 1)) {
        return found;
      }
      continue;
    }
    if (reference_only) {
      continue;  // a directory of the user part
    }
    std::string candidate;
    if (item.text == ".") {
      candidate = name;
    } else {
      candidate = item.text;
      if (candidate.back() != '/') {
        candidate += '/';
      }
      candidate += name;
    }
    if (char* found = Access(candidate.c_str(), cur_mode.c_str())) {
      return found;
    }
  }
  return nullptr;
}

char* find_ext(const char* name, const char* mode, const char* extensions, const char* path,
               int depth) {
  if (depth > MaxDepth) {
    return nullptr;
  }
  for (const Item& item : split_list(extensions)) {
    if (item.text[0] == '$') {
      const char* value = std::getenv(item.text.c_str() + 1);
      if (value == nullptr) {
        continue;
      }
      std::string inner(value);
      if (char* found = find_ext(name, mode, inner.c_str(), path, depth + 1)) {
        return found;
      }
      continue;
    }
    std::string candidate = name;
    if (!candidate.ends_with(item.text)) {
      candidate += item.text;
    }
    if (char* found = findpath(candidate.c_str(), mode, path)) {
      return found;
    }
  }
  return nullptr;
}

bool permitted(const struct stat& st, const char* mode) {
  mode_t r = S_IROTH, w = S_IWOTH, x = S_IXOTH;
  if (st.st_uid == getuid()) {
    r = S_IRUSR, w = S_IWUSR, x = S_IXUSR;
  } else if (st.st_gid == getgid()) {
    r = S_IRGRP, w = S_IWGRP, x = S_IXGRP;
  }
  if (has_letter(mode, 'r') && !(st.st_mode & r)) return false;
  if (has_letter(mode, 'w') && !(st.st_mode & w)) return false;
  if (has_letter(mode, 'x') && !(st.st_mode & x)) return false;
  return true;
}

// Shortened package or task part of a UPARM file name.
std::string abbreviate(const std::string& part, std::size_t keep) {
  if (part.size() <= keep + 1) {
    return part;
  }
  return part.substr(0, keep) + part.back();
}

bool ends_name(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '"' || c == '\'' || c == '/';
}

// $NAME, ${NAME} and $(NAME) replaced by their values; unset ones stay as written.
std::string expand_env(const char* name) {
  std::string out;
  const char* s = name ? name : "";
  while (*s != '\0') {
    if (*s != '$') {
      out += *s++;
      continue;
    }
    const char* start = s;
    const char* p = s + 1;
    char close = '\0';
    if (*p == '{') close = '}';
    if (*p == '(') close = ')';
    if (close != '\0') ++p;
    const char* name_start = p;
    while (!ends_name(*p) && *p != '}' && *p != ')') {
      ++p;
    }
    std::string var(name_start, static_cast<std::size_t>(p - name_start));
    if (close != '\0' && *p == close) ++p;
    const char* value = var.empty() ? nullptr : std::getenv(var.c_str());
    out += value ? std::string(value) : std::string(start, static_cast<std::size_t>(p - start));
    s = p;
  }
  return out;
}

}  // namespace

int tmatch(const char* string, const char* templ) {
  if (string == nullptr || templ == nullptr) {
    return 0;
  }
  const char* s = string;
  const char* t = templ;
  const char* star_t = nullptr;  // template just after the last '*'
  const char* star_s = nullptr;  // string position that '*' is tried up to
  while (*s != '\0') {
    bool matched = false;
    if (*t == '*') {
      star_t = ++t;
      star_s = s;
      continue;
    }
    if (*t == '?') {
      matched = true;
      ++t;
    } else if (*t == '[') {
      const char* c = t + 1;
      bool negate = false;
      if (*c == '~') {
        negate = true;
        ++c;
      }
      bool in = false;
      while (*c != '\0' && *c != ']') {
        if (c[1] == '-' && c[2] != '\0' && c[2] != ']') {
          if (static_cast<unsigned char>(*s) >= static_cast<unsigned char>(c[0]) &&
              static_cast<unsigned char>(*s) <= static_cast<unsigned char>(c[2])) {
            in = true;
          }
          c += 3;
        } else {
          in = in || *c == *s;
          ++c;
        }
      }
      if (*c != ']') {
        return 0;  // a class without its closing bracket never matches
      }
      matched = in != negate;
      t = c + 1;
    } else if (*t != '\0' && *t == *s) {
      matched = true;
      ++t;
    }
    if (matched) {
      ++s;
      continue;
    }
    if (star_t == nullptr) {
      return 0;
    }
    // Let the last '*' take one more character and retry from there.
    t = star_t;
    s = ++star_s;
  }
  while (*t == '*') {
    ++t;
  }
  return *t == '\0' ? 1 : 0;
}

char* ExpandEnv(const char* name, char* fullname, int maxlen) {
  pfile_detail::copy_text(expand_env(name), fullname, maxlen);
  return fullname;
}

void ResolvePath(const char* ibuf, char* obuf, int size) {
  if (obuf == nullptr || size <= 0) {
    return;
  }
  std::string in = ibuf ? ibuf : "";
  if (in.find('/') == std::string::npos) {
    pfile_detail::copy_text(in, obuf, size);
    return;
  }
  if (in[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) {
      in = std::string(cwd) + "/" + in;
    }
  }
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= in.size()) {
    std::size_t j = in.find('/', i);
    if (j == std::string::npos) j = in.size();
    std::string comp = in.substr(i, j - i);
    if (comp == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!comp.empty() && comp != ".") {
      parts.push_back(comp);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& p : parts) {
    out += "/" + p;
  }
  if (out.empty()) out = "/";
  pfile_detail::copy_text(out, obuf, size);
}

char* Access(const char* name, const char* mode) {
  if (name == nullptr) {
    return nullptr;
  }
  // A name that expands beyond the limit is not cut short and tested.
  std::string expanded = expand_env(name);
  if (expanded.size() >= static_cast<std::size_t>(ExpandMax)) {
    return nullptr;
  }
  struct stat st;
  if (stat(expanded.c_str(), &st) != 0 || !permitted(st, mode)) {
    return nullptr;
  }
  char resolved[ParamPathMax];
  ResolvePath(expanded.c_str(), resolved, ParamPathMax);
  pfile_detail::copy_text(resolved, result_buf, sizeof result_buf);
  return result_buf;
}

char* findpath(const char* name, const char* mode, const char* path) {
  if (name == nullptr) {
    return nullptr;
  }
  if (path == nullptr || name[0] == '/' || std::strncmp(name, "./", 2) == 0) {
    return Access(name, mode);
  }
  return search_path(name, mode, path, 0);
}

char* Find(const char* name, const char* mode, const char* extensions, const char* path) {
  if (name == nullptr) {
    return nullptr;
  }
  if (extensions == nullptr || *extensions == '\0') {
    return findpath(name, mode, path);
  }
  return find_ext(name, mode, extensions, path, 0);
}

char* locatepfile(const char* name) {
  const char* dir = std::getenv("UPARM");
  if (name == nullptr || dir == nullptr) {
    return nullptr;
  }
  std::string uparm = dir;
  std::string base = name;
  if (base.ends_with(".par")) {
    base.resize(base.size() - 4);
  }
  std::string package = "???";
  std::string task = base;
  std::size_t dot = base.find('.');
  if (dot != std::string::npos) {
    package = abbreviate(base.substr(0, dot), 2);
    task = base.substr(dot + 1);
  }
  std::string templ = package + abbreviate(task, 5) + ".par";

  DIR* d = opendir(uparm.c_str());
  if (d == nullptr) {
    return nullptr;
  }
  std::vector<std::string> matches;
  while (struct dirent* e = readdir(d)) {
    if (tmatch(e->d_name, templ.c_str())) {
      matches.emplace_back(e->d_name);
    }
  }
  closedir(d);
  if (matches.empty()) {
    return nullptr;
  }
  // Listing order is not defined; sorting makes the choice repeatable.
  std::sort(matches.begin(), matches.end());
  for (std::size_t i = 1; i < matches.size(); ++i) {
    if (i == 1) {
      pfile_detail::stream_printf(stderr, "warning: multiple matches of %s in dir %s\n",
                                  templ.c_str(), uparm.c_str());
      pfile_detail::stream_printf(stderr, "using file %s\n", matches[0].c_str());
    }
    pfile_detail::stream_printf(stderr, "ignoring file %s\n", matches[i].c_str());
  }
  pfile_detail::copy_text(uparm + matches[0], result_buf, sizeof result_buf);
  return result_buf;
}

char* c_paramfind(const char* name, const char* mode, const char* extensions, const char* path) {
  char* found = Find(name, mode, extensions, path);
  return found ? found : locatepfile(name);
}
