// varto._core -- the compiled half of the Python package varto: the whole run
// as one call, its report caught in buffers and the interpreter lock released
// while it computes; the output file of a finished run written again; and the
// gain maps with the interpolation the run uses.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/gain.h"
#include "app/run.h"
#include "app/varto.h"
#include "dm/dm.h"
#include "util/util.h"

namespace py = pybind11;

namespace {

// Runs and written outputs share this lock; reading gain maps takes it alone,
// since it starts the libraries again as a run does (message channels, data
// model), which must not happen under a run on another thread.
std::shared_mutex& start_lock() {
  static std::shared_mutex lock;
  return lock;
}

// Everything a run printed: standard output's text alone (the report), standard
// error's alone, and both in the order they were printed.
struct Caught {
  std::string out;
  std::string err;
  std::string both;

  void add(varto::Stream stream, std::string_view text) {
    (stream == varto::Stream::out ? out : err).append(text);
    both.append(text);
  }
  varto::Sink sink() {
    return [this](varto::Stream stream, std::string_view text) { add(stream, text); };
  }
};

py::array_t<double> array_of(const std::vector<double>& v) {
  return py::array_t<double>(static_cast<py::ssize_t>(v.size()), v.data());
}

// One finished (or refused) run, as Python sees it.
class Run {
 public:
  Run(varto::RunResult result, Caught caught)
      : result_(std::move(result)), caught_(std::move(caught)) {}

  int status() const { return result_.status; }
  const std::string& error() const { return result_.error; }
  bool wrote_output() const { return result_.wrote_output; }
  py::array_t<double> gain() const { return array_of(result_.gain); }
  py::array_t<double> weight() const { return array_of(result_.weight); }
  py::array_t<double> exposure() const { return array_of(result_.exposure); }
  double avg_gain() const { return result_.avg_gain; }
  const std::vector<std::pair<std::string, double>>& ledger() const { return result_.ledger; }
  py::array_t<double> x() const { return array_of(result_.x); }
  py::array_t<double> y() const { return array_of(result_.y); }
  py::array_t<double> ra() const { return array_of(result_.ra); }
  py::array_t<double> dec() const { return array_of(result_.dec); }
  bool has_sky() const { return result_.has_sky; }
  int step() const { return result_.step; }
  const std::string& region() const { return result_.region; }
  py::bytes out() const { return caught_.out; }
  py::bytes err() const { return caught_.err; }
  py::bytes both() const { return caught_.both; }
  bool complete() const { return result_.output != nullptr; }

  // The output file at path, as the run would have written it; the status and
  // what the writer printed.
  std::pair<int, py::bytes> write(const std::string& path) const {
    Caught caught;
    int status = 1;
    {
      py::gil_scoped_release unlocked;
      const std::shared_lock<std::shared_mutex> shared(start_lock());
      status = varto::write_output(result_, path, caught.sink());
    }
    return {status, py::bytes(caught.both)};
  }

 private:
  varto::RunResult result_;
  Caught caught_;
};

std::unique_ptr<Run> run(std::vector<std::string> words, std::string cwd, bool read_parameter_file,
                         bool write_output) {
  Caught caught;
  varto::RunOptions options;
  options.words = std::move(words);
  options.cwd = std::move(cwd);
  options.sink = caught.sink();
  options.queries = false;
  options.read_parameter_file = read_parameter_file;
  options.write_output = write_output;
  varto::RunResult result;
  {
    py::gil_scoped_release unlocked;
    const std::shared_lock<std::shared_mutex> shared(start_lock());
    result = varto::run(options);
  }
  return std::make_unique<Run>(std::move(result), std::move(caught));
}

// The maps and steps a run reads, and the gain the run finds at a detector
// position and time. Where the run would stop (a time outside the calibrated
// period) or collects no exposure (off the map grid), the gain is not a number.
class GainMaps {
 public:
  // The gain-map table and steps file are read by the run's own readers, with
  // their messages caught; on failure the set stays empty and what the readers
  // printed says why.
  GainMaps(const std::string& maps, const std::string& steps) {
    py::gil_scoped_release unlocked;
    const std::unique_lock<std::shared_mutex> alone(start_lock());
    util_set_sink(&GainMaps::receive, &caught_);
    dmInit(rirade_init());
    gain_data* set = varto_cal_read(maps.c_str());
    if (set != nullptr && read_gain_steps_file(set, steps.c_str()) != 0) {
      free_gain_data(set);
      set = nullptr;
    }
    util_set_sink(nullptr, nullptr);
    set_.reset(set);
  }

  bool ok() const { return set_ != nullptr; }
  py::bytes messages() const { return caught_.both; }

  py::array_t<double> times() const {
    if (!set_) return py::array_t<double>(0);
    return py::array_t<double>(set_->count, set_->times);
  }
  py::array_t<double> steps() const {
    if (!set_) return py::array_t<double>(0);
    return py::array_t<double>(set_->step_count, set_->steps);
  }

  // One map, 32 x 32, cell (ix, iy) at [ix, iy].
  py::array_t<double> map(int i) const {
    if (!set_ || i < 0 || i >= set_->count) throw py::index_error("no such map");
    return py::array_t<double>({GAIN_MAP_SIDE, GAIN_MAP_SIDE},
                               set_->maps + static_cast<std::size_t>(i) * GAIN_MAP_SIZE);
  }

  // The gain the run uses, bit for bit; not a number where it would stop or
  // collects no exposure.
  double gain(double detx, double dety, double mjd) const {
    return gain_at(set_.get(), mjd, detx, dety);
  }

 private:
  struct Free {
    void operator()(gain_data* set) const { free_gain_data(set); }
  };
  static void receive(void* context, int stream, const char* text, std::size_t n) {
    static_cast<Caught*>(context)->add(
        stream == UTIL_STREAM_ERR ? varto::Stream::err : varto::Stream::out, {text, n});
  }

  std::unique_ptr<gain_data, Free> set_;
  Caught caught_;
};

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled core of varto; use the package varto, not this module.";
  m.attr("version") = VARTO_VERSION;

  py::class_<Run>(m, "Run")
      .def_property_readonly("status", &Run::status)
      .def_property_readonly("error", &Run::error)
      .def_property_readonly("wrote_output", &Run::wrote_output)
      .def_property_readonly("gain", &Run::gain)
      .def_property_readonly("weight", &Run::weight)
      .def_property_readonly("exposure", &Run::exposure)
      .def_property_readonly("avg_gain", &Run::avg_gain)
      .def_property_readonly("ledger", &Run::ledger)
      .def_property_readonly("x", &Run::x)
      .def_property_readonly("y", &Run::y)
      .def_property_readonly("ra", &Run::ra)
      .def_property_readonly("dec", &Run::dec)
      .def_property_readonly("has_sky", &Run::has_sky)
      .def_property_readonly("step", &Run::step)
      .def_property_readonly("region", &Run::region)
      .def_property_readonly("out", &Run::out)
      .def_property_readonly("err", &Run::err)
      .def_property_readonly("both", &Run::both)
      .def_property_readonly("complete", &Run::complete)
      .def("write", &Run::write, py::arg("path"));

  m.def("run", &run, py::arg("words"), py::arg("cwd"), py::arg("read_parameter_file"),
        py::arg("write_output"), "One run; the interpreter lock is released while it computes.");

  py::class_<GainMaps>(m, "GainMaps")
      .def(py::init<const std::string&, const std::string&>(), py::arg("maps"), py::arg("steps"))
      .def_property_readonly("ok", &GainMaps::ok)
      .def_property_readonly("messages", &GainMaps::messages)
      .def_property_readonly("times", &GainMaps::times)
      .def_property_readonly("steps", &GainMaps::steps)
      .def("map", &GainMaps::map, py::arg("index"))
      .def("gain", py::vectorize(&GainMaps::gain), py::arg("detx"), py::arg("dety"),
           py::arg("mjd"));
}
