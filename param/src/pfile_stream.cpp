// Streams of parameter files, shared by the IRAF-syntax and the tab-separated
// formats: reading a whole file, opening and parsing it into a list that owns
// the stream, and rewriting the file in place from a list.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "param/pfile.h"
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

ParamList* open_list_file(const char* path, const char* mode, ParamList* (*parse)(FILE*), ParamReader read,
                          ParamWriter writ) {
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

void rewrite_stream(FILE* stream, const ParamList* list, const char* head, std::string (*line)(const Parameter*)) {
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

}  // namespace pfile_detail
