// velto's Windows build in a MEX host of our own: the plug-in is loaded with
// LoadLibrary and called through mexFunction as MATLAB calls it, with the
// stand-in libmx.dll and libmex.dll, against kivosim.exe on loopback.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kivo/datagram.h"
#include "kivo/encoder.h"
#include "kivo/geometry.h"
#include "kivo/udp_socket.h"
#include "scratch_folder.h"
#include "standin_api.h"

namespace {

namespace fs = std::filesystem;

// The folder of this program, where the build puts velto, kivosim.exe and
// the stand-in DLLs beside it.
fs::path program_folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

struct ArrayDeleter {
  void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

Array text(const char* value) { return Array(mxCreateString(value)); }
Array number(double value) { return Array(mxCreateDoubleScalar(value)); }
Array row(const std::vector<double>& values) {
  Array array(mxCreateDoubleMatrix(1, values.size(), mxREAL));
  std::copy(values.begin(), values.end(), mxGetPr(array.get()));
  return array;
}

// What one call of velto(...) gave back.
struct Outcome {
  bool failed = false;
  std::string error;    // the message of mexErrMsgTxt
  std::string printed;  // everything mexPrintf printed
  Array result;         // plhs[0], or null

  double scalar() const { return *mxGetPr(result.get()); }
  const mxArray* field(const char* name) const { return mxGetField(result.get(), 0, name); }
  double number(const char* name) const { return *mxGetPr(field(name)); }
};

// The plug-in, loaded for one test.
class Velto {
 public:
  Velto() { load(); }
  ~Velto() { unload(); }

  void load() {
    const fs::path path = program_folder() / VELTO_MEX_NAME;
    module_ = LoadLibraryA(path.string().c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibrary " << path.string() << " failed: " << GetLastError();
    function_ = reinterpret_cast<standin_mex_function>(
        reinterpret_cast<void*>(GetProcAddress(module_, "mexFunction")));
    ASSERT_NE(function_, nullptr);
  }

  // As MATLAB does on `clear velto`: the exit function first, then the unload.
  void unload() {
    if (module_ == nullptr) return;
    standin_mex_run_exit_function();
    FreeLibrary(module_);
    module_ = nullptr;
  }

  // velto(args...) with nlhs outputs asked for.
  template <typename... Args>
  Outcome call(int nlhs, Args... args) {
    Array owned[] = {Array(), std::move(args)...};
    std::vector<const mxArray*> prhs;
    for (size_t i = 1; i < sizeof...(Args) + 1; ++i) prhs.push_back(owned[i].get());
    mxArray* plhs[1] = {nullptr};
    Outcome outcome;
    if (function_ == nullptr) {
      outcome.failed = true;
      outcome.error = "velto is not loaded";
      return outcome;
    }
    outcome.failed = standin_mex_call(function_, nlhs, plhs, static_cast<int>(prhs.size()), prhs.data()) != 0;
    outcome.error = standin_mex_error();
    std::vector<char> printed(standin_mex_take_output(nullptr, 0) + 1);
    standin_mex_take_output(printed.data(), printed.size());
    outcome.printed = printed.data();
    outcome.result.reset(plhs[0]);
    return outcome;
  }

 private:
  HMODULE module_ = nullptr;
  standin_mex_function function_ = nullptr;
};

// A UDP port that nothing here is bound to right now. The socket library is
// held only while looking, so the plug-in has to start its own.
uint16_t free_udp_port() {
  kivo::net::SocketLibrary library;
  kivo::net::UdpSocket probe;
  if (probe.create() != 0 || probe.bind_any(0) != 0) return 0;
  return probe.local_port();
}

using kivo_test::TempDir;

std::vector<uint8_t> contents(const fs::path& path) { return kivo_test::file_contents(path); }

std::string text_of(const fs::path& path) {
  const std::vector<uint8_t> bytes = contents(path);
  return std::string(bytes.begin(), bytes.end());
}

// Runs kivosim.exe with `arguments` and waits for it; returns its exit status.
DWORD run_kivosim(const std::string& arguments) {
  const std::string program = (program_folder() / "kivosim.exe").string();
  std::string command = "\"" + program + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
    return 255;
  }
  DWORD status = 255;
  if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &status);
  } else {
    TerminateProcess(process.hProcess, 255);
    ADD_FAILURE() << "kivosim.exe did not finish";
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

std::string pattern_run(uint16_t port, int channels, int count) {
  return "--quiet --port " + std::to_string(port) + " --channels " + std::to_string(channels) +
         " --content pattern --rate 2000 --count " + std::to_string(count);
}

// Polls velto('status') until `done` holds for it, or a generous limit passes.
template <typename Done>
bool wait_for_status(Velto& velto, Done done) {
  for (int i = 0; i < 3000; ++i) {
    const Outcome status = velto.call(1, text("status"));
    if (!status.failed && done(status)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(VeltoGateway, RefusesCallsWithoutACommandWord) {
  Velto velto;
  const char* message = "velto: invalid usage, 1st argument must be a string.";
  Outcome none = velto.call(0);
  EXPECT_TRUE(none.failed);
  EXPECT_EQ(none.error, message);
  Outcome five = velto.call(0, number(5));
  EXPECT_EQ(five.error, message);
  EXPECT_EQ(five.result.get(), nullptr);
  for (const char* word : {"OPEN", "opened", "read ", ""}) {
    Outcome unknown = velto.call(0, text(word));
    EXPECT_TRUE(unknown.failed) << word;
    EXPECT_EQ(unknown.error, "velto: unknown command") << word;
  }
}

TEST(VeltoGateway, VersionPrintsAndReturnsTheVersionRow) {
  Velto velto;
  Outcome printed_only = velto.call(0, text("version"), number(7));
  EXPECT_FALSE(printed_only.failed);
  EXPECT_EQ(printed_only.printed, "Kivo MEX version 1.0.3\n");
  EXPECT_EQ(printed_only.result.get(), nullptr);
  Outcome returned = velto.call(1, text("version"));
  ASSERT_NE(returned.result.get(), nullptr);
  ASSERT_TRUE(mxIsDouble(returned.result.get()));
  ASSERT_EQ(mxGetM(returned.result.get()), 1U);
  ASSERT_EQ(mxGetN(returned.result.get()), 3U);
  const double* v = mxGetPr(returned.result.get());
  EXPECT_EQ(std::vector<double>(v, v + 3), (std::vector<double>{1, 0, 3}));
}

TEST(VeltoGateway, HandlerErrorsReachTheHostUnchanged) {
  Velto velto;
  Outcome open = velto.call(0, text("open"));
  EXPECT_EQ(open.error,
            "velto: velto('open', port, nchans, savedir) or velto('open', port, nchans, savedir, b, a)");
  TempDir dir("velto_host");
  Outcome channels = velto.call(1, text("open"), number(free_udp_port()), number(17), text(dir.str().c_str()));
  EXPECT_EQ(channels.error, "velto: invalid # of channels (must be between 1 and 16)");
  Outcome port = velto.call(1, text("open"), text("55000"), number(8), text(dir.str().c_str()));
  EXPECT_EQ(port.error, "velto: port must be a real number");
  // No result, nothing opened, and the plug-in keeps working.
  Outcome close = velto.call(0, text("close"));
  EXPECT_FALSE(close.failed);
  EXPECT_EQ(close.printed, "");
  Outcome read = velto.call(1, text("read"));
  ASSERT_FALSE(read.failed);
  EXPECT_TRUE(mxIsDouble(read.result.get()));
  EXPECT_EQ(mxGetNumberOfElements(read.result.get()), 0U);
}

TEST(VeltoOpen, APortHeldExclusivelyCannotBeBound) {
  kivo::net::SocketLibrary library;
  const SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(holder, INVALID_SOCKET);
  const BOOL exclusive = TRUE;
  setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

  Velto velto;
  TempDir dir("velto_host");
  Outcome open = velto.call(1, text("open"), number(ntohs(address.sin_port)), number(8), text(dir.str().c_str()));
  EXPECT_TRUE(open.failed);
  EXPECT_EQ(open.error, "Cannot bind port");
  EXPECT_TRUE(std::regex_match(open.printed, std::regex("bind\\(\\) failed with error [0-9]+\n")))
      << open.printed;
  EXPECT_FALSE(velto.call(0, text("close")).failed);
  EXPECT_TRUE(dir.files(".dat").empty());  // the failed 'open' took its file back
  EXPECT_TRUE(dir.files(".json").empty());
  closesocket(holder);
}

// A device sending 8 channels to an acquisition told 4: Winsock cuts each
// datagram without telling its length; each is counted and 'close' says so.
TEST(VeltoAcquisition, AWrongChannelCountIsCountedAndWarned) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  ASSERT_FALSE(velto.call(1, text("open"), number(port), number(4), text(dir.str().c_str())).failed);
  ASSERT_EQ(run_kivosim(pattern_run(port, 8, 1200)), 0U);
  ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("datagrams") == 1200; }));
  EXPECT_EQ(velto.call(1, text("status")).number("wrong_size_datagrams"), 1200);
  Outcome close = velto.call(0, text("close"));
  EXPECT_EQ(close.printed,
            "velto: warning: 1200 datagram(s) of more than 1012 bytes arrived where 1012 bytes are expected for 4 "
            "channels; check the channel count\n");
}

// The whole road: kivosim.exe sends 2500 pattern datagrams; 'read' gives
// the latest, 'status' counts them, and after 'close' both files hold the
// two whole blocks, slot by slot.
TEST(VeltoAcquisition, ReceivesReadsCountsAndSavesEveryDatagram) {
  constexpr int kChannels = 8;
  constexpr int kCount = 2500;
  const kivo::Geometry g = kivo::make_geometry(kChannels);
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  // A pass-through filter: each filtered sample is its input plus 32767, saturated.
  Outcome open = velto.call(1, text("open"), number(port), number(kChannels), text(dir.str().c_str()),
                            row({1, 0, 0, 0, 0}), row({1, 0, 0, 0, 0}));
  ASSERT_FALSE(open.failed) << open.error << open.printed;
  EXPECT_EQ(open.scalar(), g.nsamp);
  EXPECT_EQ(open.printed, "UDP connection to @ port " + std::to_string(port) + " opened...\n");

  ASSERT_EQ(run_kivosim(pattern_run(port, kChannels, kCount)), 0U);
  ASSERT_TRUE(wait_for_status(velto, [&](const Outcome& s) {
    return s.number("datagrams") == kCount && s.number("blocks_saved") == 2;
  }));

  Outcome read = velto.call(1, text("read"));
  ASSERT_FALSE(read.failed) << read.error;
  ASSERT_TRUE(mxIsStruct(read.result.get()));
  ASSERT_EQ(mxGetNumberOfFields(read.result.get()), 2);
  EXPECT_STREQ(mxGetFieldNameByNumber(read.result.get(), 0), "sequence_no");
  EXPECT_STREQ(mxGetFieldNameByNumber(read.result.get(), 1), "samples");
  EXPECT_EQ(read.number("sequence_no"), kCount - 1);
  const mxArray* samples = read.field("samples");
  ASSERT_EQ(mxGetM(samples), g.samples_per_datagram());
  ASSERT_EQ(mxGetN(samples), 1U);
  bool samples_match = true;
  for (size_t t = 0; t < static_cast<size_t>(g.nsamp); ++t) {
    for (size_t c = 0; c < kChannels; ++c) {
      samples_match &= mxGetPr(samples)[t * kChannels + c] == kivo::pattern_sample(kCount - 1, c, t);
    }
  }
  EXPECT_TRUE(samples_match);

  Outcome status = velto.call(1, text("status"));
  EXPECT_TRUE(mxIsLogical(status.field("running")) && *mxGetLogicals(status.field("running")));
  EXPECT_EQ(status.number("port"), port);
  EXPECT_EQ(status.number("nchans"), kChannels);
  EXPECT_EQ(status.number("nsamp"), g.nsamp);
  EXPECT_EQ(status.number("sequence_gaps"), 0);
  EXPECT_EQ(status.number("failed_receives"), 0);
  EXPECT_EQ(status.number("write_errors"), 0);
  EXPECT_EQ(status.number("kernel_drops"), 0);  // Winsock keeps no count

  Outcome close = velto.call(0, text("close"));
  ASSERT_FALSE(close.failed);
  EXPECT_EQ(close.printed, "");

  const auto raw = dir.files("_kivo_samples.dat");
  const auto filtered = dir.files("_kivo_filtered_samples.dat");
  ASSERT_EQ(raw.size(), 1U);
  ASSERT_EQ(filtered.size(), 1U);
  const std::vector<uint8_t> raw_bytes = contents(raw[0]);
  const std::vector<uint8_t> filtered_bytes = contents(filtered[0]);
  const auto slot = static_cast<size_t>(g.stamped_slot_bytes);
  ASSERT_EQ(raw_bytes.size(), 2 * static_cast<size_t>(g.total_bytes));
  ASSERT_EQ(filtered_bytes.size(), raw_bytes.size());

  kivo::DatagramEncoder encoder(g, kivo::SampleContent::pattern);
  std::vector<uint8_t> expected(static_cast<size_t>(g.datagram_size_bytes));
  const double now = static_cast<double>(std::time(nullptr));
  double previous_stamp = 0;
  int slots_differing = 0;
  for (size_t i = 0; i < raw_bytes.size() / slot; ++i) {
    const uint8_t* raw_slot = raw_bytes.data() + i * slot;
    const uint8_t* filtered_slot = filtered_bytes.data() + i * slot;
    double stamp = 0;
    std::memcpy(&stamp, raw_slot, sizeof stamp);
    encoder.encode(expected.data(), static_cast<uint16_t>(i), static_cast<uint32_t>(i));
    bool same = stamp >= previous_stamp && std::fabs(stamp - now) < 3600 &&
                std::memcmp(raw_slot + kivo::kStampBytes, expected.data(), expected.size()) == 0 &&
                std::memcmp(filtered_slot, raw_slot, kivo::kStampBytes + kivo::kHeaderBytes) == 0;
    const uint8_t* in = raw_slot + kivo::kStampBytes + kivo::kHeaderBytes;
    const uint8_t* out = filtered_slot + kivo::kStampBytes + kivo::kHeaderBytes;
    for (size_t k = 0; k < g.samples_per_datagram(); ++k) {
      const unsigned x = in[2 * k] | in[2 * k + 1] << 8;
      const unsigned y = out[2 * k] | out[2 * k + 1] << 8;
      same &= y == std::min(x + 32767U, 65535U);
    }
    slots_differing += same ? 0 : 1;
    previous_stamp = stamp;
  }
  EXPECT_EQ(slots_differing, 0);

  const auto metadata = dir.files(".json");
  ASSERT_EQ(metadata.size(), 2U);
  for (const fs::path& file : metadata) {
    const std::string json = text_of(file);
    EXPECT_NE(json.find("\"ended\": \"closed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"blocks_written\": 2"), std::string::npos) << json;
  }
}

// 'close' releases the socket library; the next 'open' must start it again.
TEST(VeltoAcquisition, OpenAfterCloseStartsTheSocketLibraryAgain) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  for (int round = 0; round < 2; ++round) {
    Outcome open = velto.call(1, text("open"), number(port), number(4), text(dir.str().c_str()));
    ASSERT_FALSE(open.failed) << "round " << round << ": " << open.error << open.printed;
    ASSERT_EQ(run_kivosim(pattern_run(port, 4, 5)), 0U);
    ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("datagrams") == 5; }));
    Outcome read = velto.call(1, text("read"));
    ASSERT_TRUE(mxIsStruct(read.result.get()));
    EXPECT_EQ(read.number("sequence_no"), 4);
    EXPECT_FALSE(velto.call(0, text("close")).failed);
    Outcome after = velto.call(1, text("read"));
    EXPECT_EQ(mxGetNumberOfElements(after.result.get()), 0U);
  }
}

// MATLAB runs the exit function and unloads the plug-in on `clear velto`:
// the threads end before the code they run goes away, and the metadata says so.
TEST(VeltoUnload, UnloadingWhileAcquiringEndsTheAcquisitionFirst) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  Outcome open = velto.call(1, text("open"), number(port), number(16), text(dir.str().c_str()));
  ASSERT_FALSE(open.failed) << open.error;
  ASSERT_EQ(run_kivosim(pattern_run(port, 16, 1200)), 0U);
  ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("blocks_saved") == 1; }));
  velto.unload();
  const auto metadata = dir.files("_kivo_samples.json");
  ASSERT_EQ(metadata.size(), 1U);
  EXPECT_NE(text_of(metadata[0]).find("\"ended\": \"unloaded\""), std::string::npos);
  EXPECT_EQ(contents(dir.files(".dat")[0]).size(), static_cast<size_t>(kivo::make_geometry(16).total_bytes));

  velto.load();  // and it loads and works again
  EXPECT_EQ(velto.call(0, text("version")).printed, "Kivo MEX version 1.0.3\n");
}

TEST(VeltoHost, EveryArrayThePluginMadeBelongsToTheHost) {
  const long before = standin_mx_live_arrays();
  {
    Velto velto;
    velto.call(1, text("version"));
    velto.call(1, text("status"));
    velto.call(1, text("read"));
    velto.call(0, text("nonsense"));
  }
  EXPECT_EQ(standin_mx_live_arrays(), before);
}

}  // namespace
