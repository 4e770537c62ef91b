// The test helpers of run_program.h on Windows: programs started with
// CreateProcess on pipes, and scratch files under the build tree. Output is
// read as a text-mode console program's reader would see it, CR LF as LF, so
// the same expectations hold on every system.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"

namespace {

// abort() ends a Windows program with this status.
constexpr DWORD abort_exit_status = 3;
// What a program killed for running too long reports, as on Linux (SIGKILL).
constexpr int killed_signal = 9;

// One argument quoted the way the C runtime splits a command line.
std::string quote_arg(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
    return a;
  }
  std::string q = "\"";
  size_t backslashes = 0;
  for (const char c : a) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      q.append(backslashes * 2 + 1, '\\');
    } else {
      q.append(backslashes, '\\');
    }
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, '\\');
  q += '"';
  return q;
}

std::string text_mode(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') {
      continue;
    }
    out += raw[i];
  }
  return out;
}

void drain_pipe(HANDLE h, std::string* into) {
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) {
    into->append(buf, n);
  }
}

void feed_pipe(HANDLE h, const std::string& input) {
  size_t done = 0;
  while (done < input.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(input.size() - done, 65536));
    if (!WriteFile(h, input.data() + done, chunk, &n, nullptr)) {
      break;  // the program ended without reading it all
    }
    done += n;
  }
  CloseHandle(h);
}

double now_s() {
  LARGE_INTEGER f{};
  LARGE_INTEGER c{};
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

prog_result run_program(const std::string& path, const std::vector<std::string>& args, const std::string& input,
                        double timeout_s) {
  prog_result r;
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  HANDLE in_read = nullptr;
  HANDLE in_write = nullptr;
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  if (!CreatePipe(&in_read, &in_write, &sa, 0) || !CreatePipe(&out_read, &out_write, &sa, 0) ||
      !CreatePipe(&err_read, &err_write, &sa, 0)) {
    r.err = "CreatePipe failed";
    return r;
  }
  // The parent's ends are not inherited.
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

  std::string cmd = quote_arg(path);
  for (const std::string& a : args) {
    cmd += ' ';
    cmd += quote_arg(a);
  }
  std::vector<char> cmd_buf(cmd.begin(), cmd.end());
  cmd_buf.push_back('\0');

  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_read;
  si.hStdOutput = out_write;
  si.hStdError = err_write;
  PROCESS_INFORMATION pi{};
  const double start = now_s();
  const BOOL started =
      CreateProcessA(nullptr, cmd_buf.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(in_read);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (!started) {
    CloseHandle(in_write);
    CloseHandle(out_read);
    CloseHandle(err_read);
    r.err = "CreateProcess failed: " + cmd;
    return r;
  }

  std::string raw_out;
  std::string raw_err;
  std::thread feeder(feed_pipe, in_write, std::cref(input));
  std::thread out_reader(drain_pipe, out_read, &raw_out);
  std::thread err_reader(drain_pipe, err_read, &raw_err);

  const DWORD wait_ms = static_cast<DWORD>(timeout_s * 1000.0);
  if (WaitForSingleObject(pi.hProcess, wait_ms) == WAIT_TIMEOUT) {
    r.timed_out = true;
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);
  }
  out_reader.join();
  err_reader.join();
  feeder.join();
  r.seconds = now_s() - start;

  DWORD status = 0;
  GetExitCodeProcess(pi.hProcess, &status);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  CloseHandle(out_read);
  CloseHandle(err_read);

  if (r.timed_out) {
    r.exit_code = -1;
    r.term_signal = killed_signal;
  } else if (status == abort_exit_status) {
    r.exit_code = -1;
    r.term_signal = SIGABRT;
  } else {
    r.exit_code = static_cast<int>(status);
  }
  r.out = text_mode(raw_out);
  r.err = text_mode(raw_err);
  return r;
}

std::string tovhost_path() { return TOVHOST_BIN; }
std::string tovsim_path() { return TOVSIM_BIN; }
std::string examples_dir() { return TOVHOST_EXAMPLES; }

std::string scratch_dir(const std::string& name) {
  const std::string base = TOVHOST_SCRATCH;
  CreateDirectoryA(base.c_str(), nullptr);
  const std::string d = base + "/" + name + "." + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(d.c_str(), nullptr);
  return d;
}

std::string write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
  return path;
}

// Windows has no named pipes among its files, no /dev/zero, no fopencookie.
std::string make_fifo(const std::string&) { return std::string(); }

std::vector<std::string> not_regular_files(const std::string& dir) { return {dir}; }

FILE* failing_stream(const std::string&) { return nullptr; }

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
