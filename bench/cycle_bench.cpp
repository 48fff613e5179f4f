// One order cycle as quillmark-cycle runs it, against what a user would script instead:
// three runs of the curl program with bodies signed beforehand. The bitmap the cycle also
// writes is matched by a third variant that adds the qrencode program.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_sections.h"
#include "client/quillmark_ops.h"

namespace quillmark::bench {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out.flush());
}

class CurlScript {
 public:
  explicit CurlScript(const Context& context) : context_(context), dir_(context.workDir) {}

  // Signs the three bodies of a fresh order into files: a script would have them ready too.
  bool Prepare() {
    orderNo_ = UniqueOrderNo(1, counter_++);
    return WriteFile(dir_ + "/unified.xml", SignedUnifiedOrder(orderNo_)) &&
           WriteFile(dir_ + "/query1.xml", SignedOrderQuery(orderNo_)) &&
           WriteFile(dir_ + "/query2.xml", SignedOrderQuery(orderNo_));
  }

  // The timed part: three curl processes, one after the other, and optionally qrencode on
  // the payment link (taken from the reply in-process; a script would spend a grep on it).
  bool Run(bool withQrencode) {
    if (!Curl("unified.xml", quillmark::kUnifiedOrderOperation.path, "reply0.xml")) return false;
    if (withQrencode) {
      const std::string link = CdataField(ReadFile(dir_ + "/reply0.xml"), quillmark::kFieldCodeUrl);
      if (RunProcess({"qrencode", "-l", "H", "-s", "8", "-m", "0", "-o", dir_ + "/1.png", link},
                     dir_) != 0) {
        return false;
      }
    }
    return Curl("query1.xml", quillmark::kOrderQueryOperation.path, "reply1.xml") &&
           Curl("query2.xml", quillmark::kOrderQueryOperation.path, "reply2.xml");
  }

  // What the replies must say for the run to count.
  bool Verify() const {
    return CdataField(ReadFile(dir_ + "/reply0.xml"), quillmark::kFieldCodeUrl).find(orderNo_) !=
               std::string::npos &&
           CdataField(ReadFile(dir_ + "/reply1.xml"), quillmark::kFieldTradeState) == "NOTPAY" &&
           CdataField(ReadFile(dir_ + "/reply2.xml"), quillmark::kFieldTradeState) == "SUCCESS";
  }

 private:
  bool Curl(const std::string& body, const std::string& path, const std::string& reply) {
    return RunProcess({"curl", "-sS", "--fail", "--cacert", context_.caFile, "--data-binary",
                       "@" + body, context_.baseUrl + path, "-o", reply},
                      dir_) == 0;
  }

  const Context& context_;
  const std::string dir_;
  std::string orderNo_;
  std::uint64_t counter_ = 0;
};

// quillmark-cycle's summary says "Query 2:" and then the state, after some alignment.
bool SecondQueryPaid(const std::string& output) {
  const std::size_t at = output.find("Query 2:");
  if (at == std::string::npos) return false;
  const std::string line = output.substr(at, output.find('\n', at) - at);
  return line.find("SUCCESS") != std::string::npos;
}

}  // namespace

bool BenchCycle(const Context& context) {
  bool ok = true;
  const std::string cycleOut = context.workDir + "/cycle.out";
  const auto cycle = [&] {
    return RunProcess({context.cycleProgram}, context.workDir, cycleOut) == 0 &&
           SecondQueryPaid(ReadFile(cycleOut));
  };
  // The same cycle without a process around it: what the desktop program's button costs.
  NullStream quiet;
  CQuillmarkOps::Settings settings = CQuillmarkOps::Settings::Default();
  settings.qrPath = context.workDir + "/in-process.BMP";
  settings.out = &quiet;
  CQuillmarkOps ops(settings);
  const auto inProcess = [&ops] {
    const CQuillmarkOps::CycleResult result = ops.RunOrderCycle();
    return result.queries.size() == 2 &&
           result.queries[1].Field(quillmark::kFieldTradeState) == "SUCCESS";
  };
  // A program that exits straight from main(): loading and linking libcurl, OpenSSL and
  // the C++ runtime, with no request made.
  const auto cycleStartOnly = [&] {
    return RunProcess({context.cycleProgram, "--start-only"}, context.workDir) == 2;
  };
  const auto curlStartOnly = [&] {
    return RunProcess({"curl", "--version"}, context.workDir) == 0;
  };
  CurlScript script(context);

  // One of each first, unmeasured: page cache, the sandbox's first handshakes.
  bool warm = true;
  Time(cycle, warm);
  Time(inProcess, warm);
  script.Prepare();
  Time([&] { return script.Run(false); }, warm);
  if (!warm) {
    std::printf("\ncycle: the warm-up run failed (is the sandbox answering? see %s)\n",
                cycleOut.c_str());
    return false;
  }

  std::vector<double> cycleMs, inProcessMs, curlMs, curlQrMs, cycleStartMs, curlStartMs;
  for (int i = 0; i < context.reps; ++i) {
    cycleMs.push_back(Time(cycle, ok));
    inProcessMs.push_back(Time(inProcess, ok));
    ok = script.Prepare() && ok;
    curlMs.push_back(Time([&] { return script.Run(false); }, ok));
    ok = script.Verify() && ok;
    ok = script.Prepare() && ok;
    curlQrMs.push_back(Time([&] { return script.Run(true); }, ok));
    ok = script.Verify() && ok;
    cycleStartMs.push_back(Time(cycleStartOnly, ok));
    curlStartMs.push_back(Time(curlStartOnly, ok));
  }
  const std::string base = "quillmark-cycle (3 requests + bitmap)";
  PrintTable("One order cycle: quillmark-cycle against the curl program (" +
                 std::to_string(context.reps) + " runs each)",
             {{base, Summarize(cycleMs), base},
              {"3 x curl (same requests, bodies signed beforehand)", Summarize(curlMs), base},
              {"3 x curl + qrencode (adds the bitmap)", Summarize(curlQrMs), base},
              {"CQuillmarkOps::RunOrderCycle in this process", Summarize(inProcessMs), base},
              {"quillmark-cycle start and exit only", Summarize(cycleStartMs), base},
              {"curl --version (start and exit only)", Summarize(curlStartMs), base}});
  return ok;
}

}  // namespace quillmark::bench
