// The `_velmora` extension module: the C++ half of the `velmora` package.
// The package's __init__.py gives it its Python face (argument checks,
// context managers, logging); the functions here assume checked arguments.
//
// Threads: every function is called from Python with the GIL held and
// releases it around library work that may take a while or block.  Work
// that frames bytes runs on the module's main-loop thread (Runtime.h).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Convert.h"
#include "DataBuffer.h"
#include "HeadsetSession.h"
#include "SampleClock.h"
#include "Runtime.h"
#include "StreamLog.h"
#include "Velmora.h"
#include "host/PacketStream.h"
#include "platform/DeviceFolder.h"
#include "platform/MainQueue.h"
#include "sim/HeadsetSimulator.h"
#include "sim/SimulatedHeadset.h"

namespace py = pybind11;

namespace velmora::python {
namespace {

using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

std::vector<int32_t> copyOf(const IntArray& a) { return std::vector<int32_t>(a.data(), a.data() + a.size()); }

py::list decode(const py::bytes& data) {
  char* buffer = nullptr;
  py::ssize_t size = 0;
  PyBytes_AsStringAndSize(data.ptr(), &buffer, &size);
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(size));
  // A live stream frames on the main-loop thread without the packet
  // streams' mutex (host::PacketStream): decode there too.  A forked child
  // has no live stream and no loop (Runtime.h): it decodes here, where the
  // mutex keeps the threads that decode at once apart.
  const bool here = Runtime::forkedChild();
  if (!here) {
    py::gil_scoped_release release;
    Runtime::start();
  }
  // Blocks of this size keep the memory of the packets not yet converted
  // small, and let a live stream's chunks be framed in between.
  constexpr size_t kBlock = 1 << 16;
  std::unique_ptr<host::PacketStream> stream;
  std::vector<Dictionary> packets;
  py::list out;
  size_t at = 0;
  do {
    const std::span<const uint8_t> block = bytes.subspan(at, std::min(kBlock, bytes.size() - at));
    at += block.size();
    packets.clear();
    {
      py::gil_scoped_release release;
      auto frame = [&] {
        if (!stream) stream = std::make_unique<host::PacketStream>();
        stream->feed(block, [&](Dictionary&& values) { packets.push_back(std::move(values)); });
        if (at == bytes.size()) stream.reset();
      };
      if (here) {
        frame();
      } else {
        platform::MainQueue::sync(frame);
      }
    }
    for (const Dictionary& values : packets) out.append(toDict(values));
  } while (at < bytes.size());
  return out;
}

// The result in the order the tool prints it, or None when refused.
py::object hrvResult(const IntArray& rr) {
  const std::vector<int32_t> intervals = copyOf(rr);
  Dictionary result;
  {
    py::gil_scoped_release release;
    VLHrv analyser;
    if (analyser.calculateEnergyLevel(intervals.data(), static_cast<int32_t>(intervals.size())) >= 0) {
      result = analyser.result();
    }
  }
  if (result.empty()) return py::none();
  py::dict out;
  const py::dict values = toDict(result);
  for (const char* key : {"LF", "HF", "LF/HF", "energy"}) {
    if (values.contains(key)) out[key] = values[key];
  }
  return out;
}

// The standard measures in VLHrvStandard's key order; ValueError with the
// library's reason for a refused list.
py::dict hrvStandardResult(const py::array_t<double, py::array::c_style | py::array::forcecast>& rr) {
  if (rr.ndim() != 1) throw py::value_error("rr_ms must be a one-dimensional sequence of intervals in ms");
  const std::vector<double> intervals(rr.data(), rr.data() + rr.size());
  std::optional<VLHrvStandard::Result> result;
  std::string why;
  {
    py::gil_scoped_release release;
    result = VLHrvStandard::compute(intervals, why);
  }
  if (!result) throw py::value_error(why);
  const Dictionary values = result->toDictionary();
  py::dict out;
  for (const char* key : VLHrvStandard::kKeys) {
    const Value& v = values.at(key);
    out[key] = v.isInt() ? py::object(py::int_(v.asInt())) : py::object(py::float_(v.number()));
  }
  return out;
}

// Feeds `samples` one by one to `detect` and keeps the (index, value) pairs
// where it answers above 0.
template <typename Detect>
py::tuple events(const std::vector<int32_t>& samples, Detect detect) {
  std::vector<int64_t> index;
  std::vector<int32_t> value;
  {
    py::gil_scoped_release release;
    for (size_t i = 0; i < samples.size(); ++i) {
      const int32_t v = detect(i, samples[i]);
      if (v > 0) {
        index.push_back(static_cast<int64_t>(i));
        value.push_back(v);
      }
    }
  }
  return py::make_tuple(toArray(index), toArray(value));
}

py::tuple blinks(const IntArray& samples, const IntArray& poorSignal) {
  const std::vector<int32_t> x = copyOf(samples);
  const std::vector<int32_t> q = copyOf(poorSignal);
  VLBlink detector;
  return events(x, [&](size_t i, int32_t v) { return detector.detectBlinkWithPoorSignal(q[i], v); });
}

py::tuple rrIntervals(const IntArray& samples) {
  std::unique_ptr<VLHrv> analyser;
  {
    // Construction installs a fresh velmora::lock, which waits for a holder.
    py::gil_scoped_release release;
    analyser = std::make_unique<VLHrv>();
  }
  return events(copyOf(samples), [&](size_t, int32_t v) { return analyser->addData(v); });
}

py::dict readStreamLog(const py::bytes& data) {
  std::array<StreamLogColumns, 5> columns;
  {
    const std::string_view text = data;
    py::gil_scoped_release release;
    columns = StreamLog::parse(text);
  }
  py::dict out;
  for (size_t i = 0; i < StreamLog::kTags.size(); ++i) {
    out[py::str(std::string(StreamLog::kTags[i]))] = py::make_tuple(toArray(columns[i].time), toArray(columns[i].value));
  }
  return out;
}

sim::SimulatorOptions simulatorOptions(const std::string& name, const std::string& mode, double speed,
                                       std::optional<double> seconds, uint64_t seed) {
  const auto parsed = sim::parseSignalMode(mode);
  if (!parsed) throw std::invalid_argument("mode must be \"eeg\", \"ecg\" or \"mixed\", not \"" + mode + "\"");
  sim::SimulatorOptions o = sim::SimulatedHeadset::options(name, *parsed, seed, speed, seconds);
  o.validate();
  return o;
}

py::bytes generate(const std::string& mode, double seconds, uint64_t seed) {
  const sim::SimulatorOptions o = simulatorOptions("KovaSim-SPPDev", mode, 1.0, seconds, seed);
  std::vector<uint8_t> bytes;
  {
    py::gil_scoped_release release;
    bytes = sim::HeadsetSimulator::generateOffline(o);
  }
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Waits for the simulator's stream to finish; false when `timeout` passed
// first.  Signal handlers run every 50 ms.
bool waitForSimulator(sim::HeadsetSimulator& s, std::optional<double> timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = deadlineAfter(timeout);
  for (;;) {
    bool finished;
    {
      py::gil_scoped_release release;
      const auto slice = std::min<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(50));
      finished = s.waitUntilFinished(std::chrono::duration_cast<std::chrono::milliseconds>(
          std::max<Clock::duration>(slice, Clock::duration::zero())));
    }
    if (finished) return true;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (Clock::now() >= deadline) return false;
  }
}

}  // namespace
}  // namespace velmora::python

PYBIND11_MODULE(_velmora, m) {
  using namespace velmora;
  using namespace velmora::python;
  m.doc() = "The C++ half of the velmora package; use the velmora package instead.";
  Runtime::captureLog();

  m.attr("LIBRARY_VERSION") = VelmoraObjC::getVersion();
  m.attr("SAMPLE_RATE") = static_cast<int>(SampleClock::kSampleRate);
  m.attr("DEFAULT_BUFFER_SAMPLES") = DataBuffer::kDefaultCapacity;
  m.def("decode", &decode, py::arg("data"));
  m.def("hrv", &hrvResult, py::arg("rr_ms"));
  m.def("hrv_standard", &hrvStandardResult, py::arg("rr_ms"));
  m.def("blinks", &blinks, py::arg("samples"), py::arg("poor_signal"));
  m.def("rr_intervals", &rrIntervals, py::arg("samples"));
  m.def("read_stream_log", &readStreamLog, py::arg("data"));
  m.def("generate", &generate, py::arg("mode"), py::arg("seconds"), py::arg("seed"));
  m.def("set_device_folder", &platform::DeviceFolder::setPath, py::arg("path"));
  m.def("device_folder", &platform::DeviceFolder::path);
  // Bytes: a log line may quote a name that is not UTF-8.
  m.def("take_log_lines", [] {
    py::list out;
    for (const std::string& line : Runtime::takeLogLines()) out.append(py::bytes(line));
    return out;
  });
  m.def("shutdown", &Runtime::shutdown, py::call_guard<py::gil_scoped_release>());

  py::class_<HeadsetSession>(m, "Session")
      .def(py::init([](std::optional<std::string> port, std::optional<std::string> record, uint8_t flag,
                       double dispatchInterval, double connectTimeout, std::optional<std::string> edf,
                       size_t bufferSamples, bool reconnect, std::optional<double> uvPerCount) {
             HeadsetSettings s;
             s.port = std::move(port);
             s.recordDirectory = std::move(record);
             s.recordFlag = flag;
             s.dispatchInterval = dispatchInterval;
             s.connectTimeout = connectTimeout;
             s.edfFile = std::move(edf);
             s.bufferCapacity = bufferSamples;
             s.reconnect = reconnect;
             s.uvPerCount = uvPerCount;
             return std::make_unique<HeadsetSession>(s);
           }),
           py::arg("port"), py::arg("record"), py::arg("flag"), py::arg("dispatch_interval"),
           py::arg("connect_timeout"), py::arg("edf"), py::arg("buffer_samples"), py::arg("reconnect"),
           py::arg("uv_per_count"))
      .def("next", &HeadsetSession::next, py::arg("timeout"))
      .def("read", &HeadsetSession::read, py::arg("samples"), py::arg("timeout"))
      .def("annotate", &HeadsetSession::annotate, py::arg("text"))
      .def_property_readonly("dropped", &HeadsetSession::dropped)
      .def_property_readonly("loss_reason", &HeadsetSession::lossReason)
      // Bytes, as the paths they name.
      .def_property_readonly("close_error", [](const HeadsetSession& s) { return py::bytes(s.closeError()); })
      .def_property_readonly("recording_error", [](const HeadsetSession& s) { return py::bytes(s.recordingError()); })
      .def_property_readonly("connected", &HeadsetSession::connected)
      .def_property_readonly("recording_path", [](const HeadsetSession& s) { return py::bytes(s.recordingPath()); })
      .def("close", &HeadsetSession::close);

  py::class_<sim::HeadsetSimulator>(m, "Simulator")
      .def(py::init([](const std::string& name, const std::string& mode, double speed, std::optional<double> seconds,
                       uint64_t seed) {
             return std::make_unique<sim::HeadsetSimulator>(simulatorOptions(name, mode, speed, seconds, seed));
           }),
           py::arg("name"), py::arg("mode"), py::arg("speed"), py::arg("seconds"), py::arg("seed"))
      .def("start", &sim::HeadsetSimulator::start, py::call_guard<py::gil_scoped_release>())
      .def("stop", &sim::HeadsetSimulator::stop, py::call_guard<py::gil_scoped_release>())
      .def("unplug", &sim::HeadsetSimulator::unplug, py::call_guard<py::gil_scoped_release>())
      .def("replug", &sim::HeadsetSimulator::replug, py::call_guard<py::gil_scoped_release>())
      .def("wait", &waitForSimulator, py::arg("timeout"))
      .def_property_readonly("finished", &sim::HeadsetSimulator::isFinished)
      // Bytes: a name need not be UTF-8 (Python decodes it as the file system does).
      .def_property_readonly("device_path", [](const sim::HeadsetSimulator& s) { return py::bytes(s.devicePath()); })
      .def_property_readonly("tty_path", [](const sim::HeadsetSimulator& s) { return py::bytes(s.ttyPath()); })
      .def_property_readonly("samples_sent", &sim::HeadsetSimulator::samplesSent)
      .def_property_readonly("error", &sim::HeadsetSimulator::error);
}
