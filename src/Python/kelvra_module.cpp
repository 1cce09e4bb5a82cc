// SPDX-License-Identifier: Apache-2.0
// _kelvra: the compiled half of the Python package `kelvra` (the other half,
// kelvra/__init__.py, gives it the names users call). It holds one grid of
// the client library per Grid, a local agent when asked, and the state of
// each map run, and lets the GIL go whenever the library waits or sends.
//
// Threads: Python calls come on any thread with the GIL held; results come
// on the grid's threads. A grid thread takes the GIL only to complete a
// future (submit); a map's results are kept in C++ and turned into bytes on
// the thread that reads them. No lock of this file is held while the GIL is
// taken, so neither waits for the other.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Platform/ProcessSetup.h"
#include "Platform/T_Condition.h"
#include "Platform/T_Mutex.h"
#include "Submit/T_GridStart.h"
#include "Submit/T_LocalAgent.h"
#include "kelvra/kelvra_client.h"

namespace py = pybind11;

namespace {

// How long a thread waiting for results sleeps before it looks for a
// signal (KeyboardInterrupt) again.
constexpr int kSignalCheckMs = 100;
// Inputs at least this large are copied with the GIL let go.
constexpr size_t kCopyWithoutGil = 64 * 1024;
// Each input and output is copied once between Python and the library;
// blocks up to this size come from the heap and are reused (glibc would map
// each block of a MiB or more afresh and fault in its pages on every copy).
constexpr unsigned long kHeapBlocksUpTo = 8ul << 20;
constexpr unsigned long kFreedHeapKept = 128ul << 20;

// kelvra.errors' classes, taken at import and kept for the process's life.
PyObject* TaskFailedType = nullptr;
PyObject* GridErrorType = nullptr;

[[noreturn]] void RaiseGridError(const std::string& text) {
  PyErr_SetString(GridErrorType, text.c_str());
  throw py::error_already_set();
}

// kelvra.TaskFailed(text, input_index), not raised.
py::object TaskFailed(const std::string& text, std::optional<uint64_t> inputIndex) {
  py::object index = inputIndex ? py::object(py::int_(*inputIndex)) : py::object(py::none());
  return py::reinterpret_borrow<py::object>(TaskFailedType)(py::str(text), index);
}

// Whether a signal handler raised (KeyboardInterrupt); the error is set.
bool SignalRaised() { return PyErr_CheckSignals() != 0; }

// A task's input: any object with the buffer protocol (bytes, bytearray,
// memoryview, a C-contiguous NumPy array), copied once, into the string the
// library sends from.
std::string InputBytes(py::handle object, const char* what) {
  Py_buffer view;
  if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    throw py::type_error(std::string(what) +
                         " must be a bytes-like object (bytes, bytearray, memoryview, a contiguous NumPy array), not " +
                         std::string(py::str(py::type::handle_of(object).attr("__name__"))));
  }
  std::string bytes;
  const size_t size = static_cast<size_t>(view.len);
  if (size >= kCopyWithoutGil) {
    py::gil_scoped_release release;
    bytes.assign(static_cast<const char*>(view.buf), size);
  } else {
    bytes.assign(static_cast<const char*>(view.buf), size);
  }
  PyBuffer_Release(&view);
  return bytes;
}

// One task's result as a map keeps it until it is read.
struct TOutcome {
  bool Ok = false;
  std::string Text;  // the output, or the failure text
};

// What a map's results and its reader share. Handlers hold it too, so that
// results of a run its reader gave up still have a place to go.
struct TMapResults {
  TMutex Lock;
  TCondition Changed;
  // Slot i holds the result of input First + i once it came.
  std::deque<std::optional<TOutcome>> Slots GUARDED_BY(Lock);
  uint64_t First GUARDED_BY(Lock) = 0;
  uint64_t Answered GUARDED_BY(Lock) = 0;
  bool ReaderWaits GUARDED_BY(Lock) = false;

  void Take(uint64_t position, kelvra::TTaskResult&& result) EXCLUDES(Lock) {
    TOutcome outcome{result.Ok, std::move(result.Ok ? result.Output : result.Failure)};
    TMutexLock lock(Lock);
    ++Answered;
    if (position < First) return;
    Slots[position - First] = std::move(outcome);
    if (ReaderWaits && position == First) Changed.NotifyOne();
  }
};

class TPyGrid;

// One run of Grid.map: reads the inputs as the window frees, submits them,
// and hands the results back in input order.
class TMapRun {
 public:
  TMapRun(TPyGrid& grid, std::vector<std::string> files, std::string procedure, py::iterator inputs, bool compress,
          uint64_t window, uint64_t windowBytes)
      : Grid(grid),
        Files(std::move(files)),
        Procedure(std::move(procedure)),
        Inputs(std::move(inputs)),
        Compress(compress),
        Window(window == 0 ? 1 : window),
        WindowBytes(windowBytes) {}

  py::bytes Next();
  uint64_t Submitted() const { return SubmittedCount; }
  uint64_t Yielded() const { return YieldedCount; }
  uint64_t Answered() {
    TMutexLock lock(Results->Lock);
    return Results->Answered;
  }
  bool InputsEnded() const { return Ended; }

 private:
  void Feed();

  TPyGrid& Grid;  // borrowed: the Python object keeps its grid alive (py::keep_alive)
  const std::vector<std::string> Files;
  const std::string Procedure;
  py::iterator Inputs;
  const bool Compress;
  const uint64_t Window;
  const uint64_t WindowBytes;
  std::shared_ptr<TMapResults> Results = std::make_shared<TMapResults>();
  // Only the reading thread, with the GIL held.
  std::deque<size_t> Sizes;  // the input size of each submitted and unread task
  uint64_t PendingBytes = 0;
  uint64_t SubmittedCount = 0;
  uint64_t YieldedCount = 0;
  bool Ended = false;
};

class TPyGrid {
 public:
  TPyGrid(const std::vector<std::string>& agents, const std::string& monitor, bool local,
          const std::string& agentBinary, int dataPort, int maxAttempts, double speculateAfter) {
    kelvra::TGridOptions options;
    try {
      for (const std::string& agent : agents) options.Agents.push_back(kelvra::TAgentAddress::Parse(agent));
    } catch (const kelvra::EGridError& error) {
      RaiseGridError(error.what());
    }
    if (dataPort > 0) options.DataPort = static_cast<uint16_t>(dataPort);
    if (maxAttempts > 0) options.MaxAttempts = maxAttempts;
    options.SpeculateAfterSeconds = speculateAfter;
    std::string failure;
    bool interrupted = false;
    {
      py::gil_scoped_release release;
      try {
        if (!monitor.empty()) options.Agents = WithMonitorAgents(options.Agents, monitor);
        if (local)
          Local = StartLocalAgent(TLocalAgent::FindBinary(agentBinary, ""),
                                  "no kelvra-agent beside the kelvra package's build folder or on PATH: name one "
                                  "with agent_binary=",
                                  dataPort > 0 ? static_cast<uint16_t>(dataPort) : 0, options);
        Grid = StartGrid(options, Local.get(), [&interrupted] {
          py::gil_scoped_acquire gil;
          interrupted = SignalRaised();
          return interrupted;
        });
      } catch (const std::exception& error) {
        failure = error.what();
      }
      if (!Grid) Local.reset();
    }
    if (interrupted) throw py::error_already_set();
    if (!failure.empty()) RaiseGridError(failure);
  }

  ~TPyGrid() { Close(); }
  TPyGrid(const TPyGrid&) = delete;
  TPyGrid& operator=(const TPyGrid&) = delete;

  void AddFile(const std::string& name, py::handle data) {
    std::string content = InputBytes(data, "a file's data");
    kelvra::TGrid& grid = Use();
    Call([&] { grid.AddFile(name, std::move(content)); });
  }
  void AddFilePath(const std::string& path) {
    kelvra::TGrid& grid = Use();
    Call([&] { grid.AddFileFromPath(path); });
  }
  void AddData(const std::string& identifier, py::handle data, bool compress) {
    std::string content = InputBytes(data, "a data block");
    kelvra::TGrid& grid = Use();
    Call([&] { grid.AddData(identifier, std::move(content), compress); });
  }

  // Queues a task whose result completes `future` (a concurrent.futures
  // Future) on a grid thread.
  uint64_t Submit(const std::vector<std::string>& files, const std::string& procedure, py::handle input,
                  bool compress, py::object future) {
    std::string bytes = InputBytes(input, "a task input");
    kelvra::TGrid& grid = Use();
    // The future is kept here, not in the handler: a handler may be dropped
    // on a grid thread without the GIL (a task left unanswered), and the
    // reference must not go with it.
    uint64_t slot = 0;
    {
      TMutexLock lock(FuturesLock);
      slot = NextSlot++;
      Futures.emplace(slot, future.ptr());
    }
    future.release();
    uint64_t index = 0;
    try {
      Call([&] {
        index = grid.Submit(files, procedure, std::move(bytes), compress,
                            [this, slot](const kelvra::TTaskResult& result) { Complete(slot, result); });
      });
    } catch (...) {
      py::reinterpret_steal<py::object>(TakeFuture(slot));
      throw;
    }
    return index;
  }

  std::unique_ptr<TMapRun> Map(std::vector<std::string> files, std::string procedure, py::iterable inputs,
                               bool compress, uint64_t window, uint64_t windowBytes) {
    Use();
    return std::make_unique<TMapRun>(*this, std::move(files), std::move(procedure), py::iter(inputs), compress,
                                     window, windowBytes);
  }

  // Ends the sessions and the local agent; futures still open fail with
  // GridError. Called again, does nothing.
  void Close() {
    if (!Grid && !Local) return;
    {
      py::gil_scoped_release release;
      Grid.reset();
      if (Local) Local->Stop();
      Local.reset();
    }
    std::unordered_map<uint64_t, PyObject*> open;
    {
      TMutexLock lock(FuturesLock);
      open.swap(Futures);
    }
    for (const auto& [slot, future] : open) {
      py::object owned = py::reinterpret_steal<py::object>(future);
      try {
        owned.attr("set_exception")(py::reinterpret_borrow<py::object>(GridErrorType)(
            "the grid was closed before the task was answered"));
      } catch (const py::error_already_set&) {
      }
    }
  }

  bool Open() const { return Grid != nullptr; }
  kelvra::TGrid& Use() {
    if (!Grid) RaiseGridError("the grid is closed");
    return *Grid;
  }

  py::dict Progress() {
    const kelvra::TGridProgress progress = Use().Progress();
    py::dict result;
    result["submitted"] = progress.Submitted;
    result["done"] = progress.Done;
    result["failed"] = progress.Failed;
    result["agents_up"] = progress.AgentsUp;
    result["pool_threads"] = progress.PoolThreads;
    return result;
  }
  std::vector<std::string> Warnings() { return Use().Warnings(); }
  // The local agent's process id and folder (0 and empty without one).
  int LocalPid() const { return Local ? static_cast<int>(Local->ProcessId()) : 0; }
  std::string LocalFolder() const { return Local ? Local->Folder() : std::string(); }

  // Runs a call of the library with the GIL let go; its EGridError becomes
  // kelvra.GridError.
  template <typename TCall>
  static void Call(TCall&& call) {
    std::string failure;
    {
      py::gil_scoped_release release;
      try {
        call();
        return;
      } catch (const kelvra::EGridError& error) {
        failure = error.what();
      }
    }
    RaiseGridError(failure);
  }

 private:
  // The future of `slot`, owned by the caller now; null when none is kept.
  PyObject* TakeFuture(uint64_t slot) EXCLUDES(FuturesLock) {
    TMutexLock lock(FuturesLock);
    const auto found = Futures.find(slot);
    if (found == Futures.end()) return nullptr;
    PyObject* future = found->second;
    Futures.erase(found);
    return future;
  }

  // On a grid thread, which runs only while Grid exists.
  void Complete(uint64_t slot, const kelvra::TTaskResult& result) {
    PyObject* future = TakeFuture(slot);
    if (future == nullptr || _Py_IsFinalizing()) return;
    py::gil_scoped_acquire gil;
    py::object owned = py::reinterpret_steal<py::object>(future);
    try {
      if (result.Ok)
        owned.attr("set_result")(py::bytes(result.Output));
      else
        owned.attr("set_exception")(TaskFailed(result.Failure, std::nullopt));
    } catch (const py::error_already_set&) {
      // A future its owner finished otherwise: nothing to tell.
    }
  }

  std::unique_ptr<TLocalAgent> Local;  // started before the grid, stopped after it
  std::unique_ptr<kelvra::TGrid> Grid;
  TMutex FuturesLock;
  // The futures of submitted tasks not yet answered, owned references.
  std::unordered_map<uint64_t, PyObject*> Futures GUARDED_BY(FuturesLock);
  uint64_t NextSlot GUARDED_BY(FuturesLock) = 0;

  friend class TMapRun;
};

void TMapRun::Feed() {
  while (!Ended && SubmittedCount - YieldedCount < Window && (PendingBytes < WindowBytes || Sizes.empty())) {
    py::object item;
    // py::iterator's own next() cannot tell an error from the end.
    PyObject* next = PyIter_Next(Inputs.ptr());
    if (next == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      Ended = true;
      return;
    }
    item = py::reinterpret_steal<py::object>(next);
    std::string input = InputBytes(item, "a task input");
    const uint64_t position = SubmittedCount;
    {
      TMutexLock lock(Results->Lock);
      Results->Slots.emplace_back();
    }
    kelvra::TGrid& grid = Grid.Use();
    const size_t size = input.size();
    try {
      TPyGrid::Call([&] {
        grid.Submit(Files, Procedure, std::move(input), Compress,
                    [results = Results, position](kelvra::TTaskResult&& result) {
                      results->Take(position, std::move(result));
                    });
      });
    } catch (...) {
      TMutexLock lock(Results->Lock);
      Results->Slots.pop_back();
      throw;
    }
    Sizes.push_back(size);
    PendingBytes += size;
    ++SubmittedCount;
  }
}

py::bytes TMapRun::Next() {
  Feed();
  if (SubmittedCount == YieldedCount) throw py::stop_iteration();
  TOutcome outcome;
  bool interrupted = false;
  bool closed = false;
  {
    py::gil_scoped_release release;
    for (;;) {
      {
        TMutexLock lock(Results->Lock);
        if (!Results->Slots.front()) {
          Results->ReaderWaits = true;
          Results->Changed.WaitFor(Results->Lock, kSignalCheckMs);
          Results->ReaderWaits = false;
        }
        if (Results->Slots.front()) {
          outcome = std::move(*Results->Slots.front());
          Results->Slots.pop_front();
          ++Results->First;
          break;
        }
      }
      // A look for KeyboardInterrupt, and for a grid closed under the
      // run (its tasks would never be answered), without the lock.
      py::gil_scoped_acquire gil;
      if ((interrupted = SignalRaised())) break;
      if ((closed = !Grid.Open())) break;
    }
  }
  if (interrupted) throw py::error_already_set();
  if (closed) RaiseGridError("the grid was closed before the task was answered");
  const uint64_t position = YieldedCount++;
  PendingBytes -= Sizes.front();
  Sizes.pop_front();
  if (!outcome.Ok) {
    py::object error = TaskFailed(outcome.Text, position);
    PyErr_SetObject(TaskFailedType, error.ptr());
    throw py::error_already_set();
  }
  return py::bytes(outcome.Text);
}

}  // namespace

PYBIND11_MODULE(_kelvra, module) {
  module.doc() = "The compiled half of the kelvra package: use kelvra.Grid.";
  KeepLargeBlocksOnTheHeap(kHeapBlocksUpTo, kFreedHeapKept);
  py::module_ errors = py::module_::import("kelvra.errors");
  TaskFailedType = py::object(errors.attr("TaskFailed")).release().ptr();
  GridErrorType = py::object(errors.attr("GridError")).release().ptr();

  py::class_<TPyGrid>(module, "_Grid")
      .def(py::init<const std::vector<std::string>&, const std::string&, bool, const std::string&, int, int,
                    double>(),
           py::arg("agents"), py::arg("monitor"), py::arg("local"), py::arg("agent_binary"), py::arg("data_port"),
           py::arg("max_attempts"), py::arg("speculate_after"))
      .def("add_file", &TPyGrid::AddFile)
      .def("add_file_path", &TPyGrid::AddFilePath)
      .def("add_data", &TPyGrid::AddData)
      .def("submit", &TPyGrid::Submit)
      .def("map", &TPyGrid::Map, py::keep_alive<0, 1>())
      .def("close", &TPyGrid::Close)
      .def_property_readonly("open", &TPyGrid::Open)
      .def("progress", &TPyGrid::Progress)
      .def("warnings", &TPyGrid::Warnings)
      .def_property_readonly("local_pid", &TPyGrid::LocalPid)
      .def_property_readonly("local_folder", &TPyGrid::LocalFolder);

  py::class_<TMapRun>(module, "_MapRun")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &TMapRun::Next)
      .def_property_readonly("submitted", &TMapRun::Submitted)
      .def_property_readonly("yielded", &TMapRun::Yielded)
      .def_property_readonly("answered", &TMapRun::Answered)
      .def_property_readonly("inputs_ended", &TMapRun::InputsEnded);
}
