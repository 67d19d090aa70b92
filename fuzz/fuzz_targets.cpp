// fuzz/fuzz_targets.cpp -- the hostile-input targets behind the libFuzzer entry
// points and the replay driver. Files are handed to the readers through
// scratch files in a private folder, since every reader takes a file name or
// a stream that it may rewrite and truncate.
#include "fuzz_targets.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/varto.h"
#include "dm/dm.h"
#include "dm_int.h"
#include "param/par.h"
#include "param_args.h"
#include "pfile/pfile.h"
#include "pfile_int.h"
#include "rdb_format.h"
#include "region/region.h"
#include "util/util.h"

namespace varto_fuzz {

namespace {

std::string scratch_dir;

std::string scratch(const char* name) { return scratch_dir + "/" + name; }

void fail(const char* target, const std::string& what) {
  std::fprintf(stderr, "fuzz target %s: %s\n", target, what.c_str());
  std::fflush(stderr);
  std::abort();
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    std::abort();
  }
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// The input as a stream that a parameter-file writer may rewrite and truncate.
FILE* stream_of(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(scratch("stream").c_str(), "w+b");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fflush(f);
  std::rewind(f);
  return f;
}

std::string stream_text(FILE* f) {
  std::rewind(f);
  return pfile_detail::read_stream(f);
}

// Every field of every record of a list, one line each.
std::string records(const ParamList* list, bool with_comments) {
  std::string out;
  for (int i = 0; i < list->nparam; ++i) {
    const Parameter* p = list->param[i];
    if (p == nullptr) continue;
    if (!with_comments && TypeCode(p->ptype) == CommentType) continue;
    out += std::to_string(p->ptype) + "|" + (p->pname ? p->pname : "(null)") + "|" +
           std::to_string(p->pmode) + "|" + pfile_detail::value_text(&p->pvalue) + "|" +
           (pfile_detail::is_present(&p->pmin) ? "+" + pfile_detail::value_text(&p->pmin) : "-") +
           "|" +
           (pfile_detail::is_present(&p->pmax) ? "+" + pfile_detail::value_text(&p->pmax) : "-") +
           "|" + (p->pprompt ? std::string("+") + p->pprompt : "-") + "\n";
  }
  return out;
}

bool parsed(const ParamList* list) { return list != nullptr && list != ParamFileCant; }

// Read, write, read, write: what the reader accepts, the writer writes so that
// it reads back with the same records, and writing those again changes nothing.
void parameter_cycle(const char* target, const uint8_t* data, size_t size,
                     ParamList* (*read)(FILE*, const char*),
                     void (*write)(FILE*, ParamList*, const char*), bool with_comments) {
  FILE* f = stream_of(data, size);
  ParamList* first = read(f, "r");
  if (!parsed(first)) {
    std::fclose(f);
    return;
  }
  write(f, first, "w");
  const std::string written = stream_text(f);
  ParamList* second = read(f, "r");
  if (!parsed(second)) {
    fail(target, "the written file no longer reads:\n" + written);
  }
  if (records(first, with_comments) != records(second, with_comments)) {
    fail(target, "records changed by a write and read:\n" + records(first, with_comments) +
                     "--- became ---\n" + records(second, with_comments));
  }
  write(f, second, "w");
  const std::string again = stream_text(f);
  if (again != written) {
    fail(target, "a second write differs from the first:\n" + written + "--- then ---\n" + again);
  }
  PListFree(first);
  PListFree(second);
  std::fclose(f);
}

// Words of the input: pieces between NUL bytes.
std::vector<std::string> pieces(const uint8_t* data, size_t size) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      out.emplace_back();
    } else {
      out.back() += static_cast<char>(data[i]);
    }
  }
  return out;
}

// The reference file the argument words are matched against: names sharing
// prefixes, every type, hidden and query modes, limits and an enumeration.
constexpr const char* kReferencePar =
    "infile,f,a,\"events.fits\",,,\"Input file\"\n"
    "infile2,f,h,\"\",,,\"Second input\"\n"
    "ra,r,a,10.5,0,360,\"Right ascension\"\n"
    "rate,r,h,INDEF,,,\"Rate\"\n"
    "nbins,i,a,10,1,1000,\"Bins\"\n"
    "clobber,b,h,no,,,\"Overwrite?\"\n"
    "method,s,h,\"linear\",\"linear|cubic|none\",,\"Method\"\n"
    "ref,s,h,\")ra\",,,\"Indirect\"\n"
    "# a comment\n"
    "mode,s,h,\"ql\",,,\n";

// --- utility library ---------------------------------------------------------

bool same_double(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void util_numbers(const std::string& text, uint8_t opt) {
  char buf[UTIL_NUM_LEN + 1];
  const int n = 1 + opt % UTIL_NUM_LEN;

  // Readers of each type; the writers' text reads back as the same number.
  const double d = read_d(text.c_str());
  write_d(d, buf, UTIL_NUM_LEN);
  const double d1 = read_d(buf);
  write_d(d1, buf, UTIL_NUM_LEN);
  if (!same_double(read_d(buf), d1)) fail("util", "write_d round trip of " + text);

  const float r = read_r(text.c_str());
  write_r(r, buf, UTIL_NUM_LEN);
  const float r1 = read_r(buf);
  write_r(r1, buf, UTIL_NUM_LEN);
  if (!same_double(read_r(buf), r1)) fail("util", "write_r round trip of " + text);

  const int32_t i = read_i(text.c_str());
  write_i(i, buf, UTIL_NUM_LEN);
  if (read_i(buf) != i) fail("util", "write_i round trip of " + text);
  const int16_t s = read_s(text.c_str());
  write_s(s, buf, UTIL_NUM_LEN);
  if (read_s(buf) != s) fail("util", "write_s round trip of " + text);
  (void)read_q(text.c_str());

  // Formatted writers with the input as the format, into a buffer of n+1 bytes,
  // or the 14 bytes that the short form written for a refused format needs.
  std::vector<char> out(std::max<size_t>(static_cast<size_t>(n) + 1, 14));
  writef_d(d, text.c_str(), out.data(), n);
  writef_r(r, text.c_str(), out.data(), n);
  writef_i(i, text.c_str(), out.data(), n);
  writef_s(s, text.c_str(), out.data(), n);
  write_i(i, out.data(), n);
  write_s(s, out.data(), n);

  // Bit patterns in each base.
  for (char base : {'B', 'O', 'Z', 'x'}) {
    (void)read_binary_s(text.c_str(), base);
    (void)read_binary_i(text.c_str(), base);
    (void)read_binary_r(text.c_str(), base);
    (void)read_binary_d(text.c_str(), base);
  }

  // The tokeniser's number writers read back through its getters.
  std::vector<char> line(64);
  char* cursor = line.data();
  int room = static_cast<int>(line.size()) - 4;  // three separators and the terminator
  cs_put_d(d1, &cursor, &room);
  cs_put_i(i, &cursor, &room);
  cs_put_s(s, &cursor, &room);
  const char* in = line.data();
  if (!same_double(cs_get_d(&in), d1) || cs_get_i(&in) != i || cs_get_s(&in) != s) {
    fail("util", "tokeniser round trip of " + text + " as " + line.data());
  }
}

void util_tokens(const std::string& text, uint8_t opt) {
  const int n = opt % 96;
  const int mode = opt % 3;
  std::vector<char> buf(std::max<size_t>(static_cast<size_t>(n), text.size()) + 1);
  const char* cursor = text.c_str();
  for (int k = 0; k < 256 && cursor != nullptr; ++k) {
    switch (k % 15) {
      case 0: cs_get_token(&cursor, buf.data(), mode, n); break;
      case 1: cs_get_c(&cursor, buf.data(), n); break;
      case 2: cs_get_cs(&cursor, buf.data(), n); break;
      case 3: (void)cs_get_i(&cursor); break;
      case 4: (void)cs_get_s(&cursor); break;
      case 5: (void)cs_get_r(&cursor); break;
      case 6: (void)cs_get_d(&cursor); break;
      case 7: (void)cs_get_q(&cursor); break;
      case 8: (void)cs_getd_i(&cursor, 7); break;
      case 9: (void)cs_getd_s(&cursor, 7); break;
      case 10: (void)cs_getd_r(&cursor, 7.0F); break;
      case 11: (void)cs_getd_d(&cursor, 7.0); break;
      case 12: cs_get_c(&cursor, buf.data(), 0); break;
      case 13: cs_get_cl(&cursor, buf.data(), n); break;
      default: cs_get_token(&cursor, buf.data(), CS_TOKEN_PHRASE, n); break;
    }
  }

  // Token lists, and the token writers into a buffer of n characters: the room
  // counts text only, each separator takes one byte more, then the terminator.
  char** list = alloc_array_c(n, 8);
  (void)list_parse(text.c_str(), list, n, 8);
  free_array_c(list);
  std::vector<char> out(static_cast<size_t>(n) + 3 + 1);
  char* put = out.data();
  int room = n;
  cs_put_c(text.c_str(), &put, &room);
  cs_put_cs(text.c_str(), &put, &room);
  cs_put_cn(text.c_str(), &put, &room);
}

// --- FITS files -------------------------------------------------------------

constexpr int kNumericTypes[] = {DM_TYPE_S,  DM_TYPE_I,  DM_TYPE_R, DM_TYPE_D,
                                 DM_TYPE_UB, DM_TYPE_US, DM_TYPE_UL};

bool numeric(int type) {
  for (int t : kNumericTypes) {
    if (t == type) return true;
  }
  return false;
}

void walk_descriptor(dmDescriptor* desc) {
  char text[DM_NAME_LEN + 1];
  dmGetNameC(desc, text);
  dmGetUnitC(desc, text);
  dmGetDescC(desc, text);
  dmGetDataTypeNameC(desc, text);
  (void)dmGetArrDim(desc);
  if (dmDescriptor* coord = dmDescriptorGetCoord(desc)) {
    double refpix[DM_MAX_DIMS];
    double refval[DM_MAX_DIMS];
    double delta[DM_MAX_DIMS];
    (void)dmCoordGetTransform_d(coord, refpix, refval, delta, 1);
  }
}

void walk_table(dmBlock* block) {
  const int nrows = dmTableGetNoRows(block);
  for (int n = 1;; ++n) {
    dmDescriptor* col = dmTableOpenColumnNo(block, n);
    if (col == nullptr) break;
    walk_descriptor(col);
    if (!numeric(col->datatype) || nrows < 1) continue;
    std::vector<double> values(static_cast<size_t>(nrows));
    (void)dmGetScalars_d(col, values.data(), 1, nrows);
    (void)dmGetScalar_d(col);
    (void)dmGetScalar_r(col);
    if (col->ndims > 0 && col->dims[0] > 1) {
      std::vector<double> cell(static_cast<size_t>(col->dims[0]));
      (void)dmGetStaticArray_d(col, cell.data(), col->dims[0]);
    }
  }
}

void walk_dataset(const std::string& path) {
  dmDataset* ds = dmDatasetOpen(path.c_str());
  if (ds == nullptr) return;
  const int nblocks = dmDatasetGetNoBlocks(ds);
  for (int n = 1; n <= nblocks; ++n) {
    char type[16];
    dmDatasetGetBlockTypeName(ds, n, type);
    dmBlock* block = dmDatasetMoveToBlock(ds, n);
    if (block == nullptr) continue;
    char name[DM_NAME_LEN + 1];
    dmBlockGetNameC(block, name, DM_NAME_LEN);
    (void)dmBlockGetTypeName(block, type);
    for (int k = 0; k < block->nkeys && block->keys != nullptr; ++k) {
      dmDescriptor* key = block->keys[k];
      if (key == nullptr) continue;
      walk_descriptor(key);
      double d = 0.0;
      int i = 0;
      (void)dmKeyRead_d(block, key->name, &d);
      (void)dmKeyRead_l(block, key->name, &i);
    }
    if (block->type == DM_BLOCK_TABLE) walk_table(block);
  }
  dmDatasetClose(ds);
}

// varto's own readers of the event, aspect and gain-map files.
void varto_readers(const std::string& path) {
  if (dmDataset* ds = dmDatasetOpen(path.c_str())) {
    free_gti(dataset_get_gti(ds));
    const double bso[3] = {0.0, 0.0, 0.0};
    const double nominal[3] = {10.0, 20.0, 0.0};
    for (int rev0 = 0; rev0 <= 1; ++rev0) {
      char cols[4][UTIL_VALUE_LEN + 1] = {"TIME", "RA", "DEC", "ROLL"};
      char* names[4] = {cols[0], cols[1], cols[2], cols[3]};
      free_asp(aspect_read(ds, bso, nominal, 1.0 / 7200.0, rev0, names));
    }
    dmDatasetClose(ds);
  }
  obs* record = varto_read_event_file(path.c_str(), "EVENTS");
  free_obs(record);
  free_gain_data(varto_cal_read((path + "[GAIN]").c_str()));
  free_gain_data(varto_cal_read(path.c_str()));
}

}  // namespace

void setup() {
  static bool done = false;
  if (done) return;
  done = true;
  const char* tmp = std::getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/varto-fuzz-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  scratch_dir = buf.data();
  // Parameter files are looked for in the scratch folder only.
  setenv("PFILES", scratch_dir.c_str(), 1);
  setenv("UPARM", scratch_dir.c_str(), 1);
  unsetenv("PDIRS");
  unsetenv("PINCLASSDB");
  dmInit(rirade_init());
  set_paramerror(0);
  write_file(scratch("fuzzref.par"), reinterpret_cast<const uint8_t*>(kReferencePar),
             std::strlen(kReferencePar));
  // The folder is removed when the process ends normally.
  std::atexit([] {
    for (const char* f :
         {"stream", "fuzzref.par", "plain.par", "input.fits", "input.txt", "spec.fits"}) {
      std::remove(scratch(f).c_str());
    }
    rmdir(scratch_dir.c_str());
  });
}

void iraf(const uint8_t* data, size_t size) {
  setup();
  parameter_cycle("iraf", data, size, IRAFParRead, IRAFParWrit, true);
}

void rdb(const uint8_t* data, size_t size) {
  setup();
  parameter_cycle("rdb", data, size, RDBParRead, RDBParWrit, false);
}

void args(const uint8_t* data, size_t size) {
  setup();
  std::vector<std::string> words = pieces(data, size);
  const std::string plain = scratch("plain.par");
  write_file(plain, reinterpret_cast<const uint8_t*>(words[0].data()), words[0].size());

  // words[0] stands for the task's name, as argv[0] does.
  std::vector<char*> argv;
  std::string task = "fuzzref";
  argv.push_back(task.data());
  for (size_t k = 1; k < words.size(); ++k) argv.push_back(words[k].data());
  const int argc = static_cast<int>(argv.size());

  par_table* table = par_alloc(PAR_TABLE_CAPACITY);
  par_set_args(argv.data(), argc, table);
  par_read_file(plain.c_str(), table);
  par_set_args(argv.data(), argc, table);
  char value[PAR_VALUE_LEN + 1];
  double vec[3];
  const double def[3] = {1.0, 2.0, 3.0};
  for (size_t k = 1; k < words.size(); ++k) {
    (void)par_get(table, words[k].c_str(), "", value);
    (void)par_get_i(table, words[k].c_str(), 0);
    (void)par_get_d(table, words[k].c_str(), 0.0);
    par_get_vec_d(table, words[k].c_str(), def, vec);
  }
  par_free(table);

  // The parameter-file library: the argument parser, then every get, so that
  // the command-line values meet the types, limits and enumeration.
  ParamFile* file = c_paramopen(scratch("fuzzref.par").c_str(), argv.data(), argc, "rH");
  if (file == nullptr) fail("args", "the reference parameter file does not open");
  for (size_t k = 1; k < words.size(); ++k) {
    std::string name = words[k].substr(0, words[k].find('='));
    free(ParamMatch(file->psets, name.c_str()));
    int mode = 0;
    (void)ParamGetX(file, name.c_str(), StringType, &mode);
  }
  ParamMatchList* names = pmatchopen(file, "*");
  char text[ParamConvertSize];
  while (const char* name = pmatchnext(names)) {
    (void)c_pgetstr(file, name, text, sizeof text - 1);
    for (const char* field : {".p_min", ".p_max", ".p_mode", ".p_prompt", ".p_value"}) {
      int mode = 0;
      (void)ParamGetX(file, (std::string(name) + field).c_str(), StringType, &mode);
    }
  }
  pmatchclose(names);
  c_paramclose(file);
  parerr = PARAM_OK;
}

void util(const uint8_t* data, size_t size) {
  setup();
  if (size == 0) return;
  const uint8_t opt = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1),
                         strnlen(reinterpret_cast<const char*>(data + 1), size - 1));
  esc_init();
  util_numbers(text, opt);
  util_tokens(text, opt);
}

void dsname(const uint8_t* data, size_t size) {
  setup();
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  char dsname[DM_SPEC_DATASET_BUF];
  char blockname[DM_SPEC_BLOCK_BUF];
  dmiSyntaxParse(text.c_str(), dsname, blockname);
  // The block part is looked up in a small real file with two tables.
  static std::string path;
  if (path.empty()) {
    path = scratch("spec.fits");
    std::remove(path.c_str());
    dmInit(0);
    dmBlock* block = dmDatasetTableCreate((path + "[EVENTS]").c_str());
    dmColumnCreate(block, "TIME", DM_TYPE_D, 0, "s", "time");
    dmDatasetTableClose(block);
    dmInit(0);
  }
  dmDataset* ds = dmDatasetOpen(path.c_str());
  if (ds == nullptr) fail("dsname", "the scratch file does not open");
  if (dmBlock* block = dmBlockOpen(ds, blockname)) dmBlockClose(block);
  dmDatasetClose(ds);
  dmInit(0);
}

void fits(const uint8_t* data, size_t size) {
  setup();
  const std::string path = scratch("input.fits");
  write_file(path, data, size);
  dmInit(0);
  walk_dataset(path);
  varto_readers(path);
  dmInit(0);
}

void text(const uint8_t* data, size_t size) {
  setup();
  const std::string path = scratch("input.txt");
  write_file(path, data, size);
  free_source(source_read(path.c_str(), 1000));
  free_source(source_read(path.c_str(), 1));
  gain_data* set = alloc_gain_data(2, GAIN_STEP_CAPACITY);
  read_gain_steps_file(set, path.c_str());
  free_gain_data(set);
}

namespace {

// One 80-character header card.
std::string card(const char* text) {
  std::string c(text);
  c.resize(80, ' ');
  return c;
}

// The sky frame of the sample's events table (X column 2, Y column 3), built
// once from its header cards: it carries the region target's sky shapes.
const sky_frame* sample_frame() {
  static sky_frame* frame = [] {
    std::string cards;
    for (const char* c : {"XTENSION= 'BINTABLE'", "TTYPE2  = 'X       '", "TTYPE3  = 'Y       '",
                          "TCTYP2  = 'RA---TAN'", "TCRPX2  = 4096.5", "TCRVL2  = 83.6331",
                          "TCDLT2  = -1.3888889E-4", "TCTYP3  = 'DEC--TAN'", "TCRPX3  = 4096.5",
                          "TCRVL3  = 22.0145", "TCDLT3  = 1.3888889E-4"})
      cards += card(c);
    return sky_frame_from_header(cards.data(), static_cast<int>(cards.size() / 80), 2, 3);
  }();
  return frame;
}

// Pixel centres a shape's test may visit: its bounding box, times the
// vertices a polygon's test walks. Used to keep one input within a budget.
double shape_work(const region_shape& s) {
  double half = 0.0;
  switch (s.kind) {
    case region_kind::point: return 1.0;
    case region_kind::circle: half = s.size[0]; break;
    case region_kind::annulus: half = std::max(s.size[0], s.size[1]); break;
    case region_kind::ellipse: half = std::max(s.size[0], s.size[1]); break;
    case region_kind::box: half = std::hypot(s.size[0], s.size[1]) / 2.0; break;
    case region_kind::polygon: {
      if (s.xs.empty()) return 1.0;
      const auto [xlo, xhi] = std::minmax_element(s.xs.begin(), s.xs.end());
      const auto [ylo, yhi] = std::minmax_element(s.ys.begin(), s.ys.end());
      return (*xhi - *xlo + 2.0) * (*yhi - *ylo + 2.0) * static_cast<double>(s.xs.size());
    }
  }
  if (!std::isfinite(half)) return HUGE_VAL;
  return (2.0 * half + 2.0) * (2.0 * half + 2.0);
}

// Pixel centres per input: the sampling of a whole field costs seconds, which
// the program may spend once but a fuzzer cannot spend per input.
constexpr double kRegionWork = 4.0e6;

}  // namespace

void region(const uint8_t* data, size_t size) {
  setup();
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)region_line_is_region(text.c_str());
  region_file parsed;
  if (region_parse_text(text.c_str(), &parsed) != 0) {
    if (parsed.error.empty()) fail("region", "a refused region gives no reason");
    return;
  }
  std::vector<region_shape> shapes;
  double work = 0.0;
  for (const region_shape& s : parsed.shapes) {
    region_shape pixels = s;
    if (s.sky && sky_shape_to_pixels(sample_frame(), s, &pixels) != 0) return;
    work += shape_work(pixels);
    shapes.push_back(pixels);
  }
  if (!(work <= kRegionWork)) return;
  region_positions found;
  int error_line = 0;
  std::string error;
  if (region_positions_of(shapes, 999, &found, &error_line, &error) != 0) {
    if (error.empty()) fail("region", "refused positions give no reason");
    return;
  }
  if (found.xs.size() != found.ys.size() || found.xs.size() > 999 || found.step < 1)
    fail("region", "more positions than the limit, or a broken list");
  for (size_t i = 0; i < found.xs.size(); ++i) {
    if (!std::isfinite(found.xs[i]) || !std::isfinite(found.ys[i]))
      fail("region", "a position that is not a finite number");
  }
}

void sky(const uint8_t* data, size_t size) {
  setup();
  const std::string path = scratch("input.fits");
  write_file(path, data, size);
  dmInit(0);
  dmDataset* ds = dmDatasetOpen(path.c_str());
  for (int n = 1; ds != nullptr && n <= DM_MAX_BLOCKS; ++n) {
    dmBlock* block = dmDatasetMoveToBlock(ds, n);
    if (block == nullptr) break;
    char name[DM_NAME_LEN + 1];
    dmBlockGetNameC(block, name, DM_NAME_LEN);
    sky_frame* frame = cs_is_blank(name) ? nullptr : sky_frame_read(ds, name);
    if (frame == nullptr) continue;
    // Pixels round the reference and far out: to the sky and back.
    for (double x : {0.5, 4096.5, 8192.5, -1.0e6}) {
      for (double y : {0.5, 4096.5, 1.0e6}) {
        double ra = 0.0, dec = 0.0, px = 0.0, py = 0.0;
        if (pixel_to_sky(frame, x, y, &ra, &dec) != 0) continue;
        if (!std::isfinite(ra) || !std::isfinite(dec)) continue;
        (void)sky_to_pixel(frame, ra, dec, &px, &py);
      }
    }
    free_sky_frame(frame);
  }
  dmDatasetClose(ds);
  dmInit(0);
}

const Target targets[] = {
    {"iraf", iraf}, {"rdb", rdb},   {"args", args},     {"util", util}, {"dsname", dsname},
    {"fits", fits}, {"text", text}, {"region", region}, {"sky", sky},   {nullptr, nullptr},
};

const Target* find_target(const char* name) {
  for (const Target* t = targets; t->name != nullptr; ++t) {
    if (std::strcmp(t->name, name) == 0) return t;
  }
  return nullptr;
}

}  // namespace varto_fuzz
