// Plays an outside program (bossac, the driver installer) for the tests. Copied into
// a test's folder under the name the window starts, it follows the steps written
// beside it in "<its own file path>.steps", one a line, then exits with code 0:
//
//   arguments FILE       writes its arguments to FILE, one a line, in UTF-8
//   stdout TEXT          writes TEXT and a line feed to standard output, flushed
//   stderr TEXT          the same to standard error
//   lines COUNT TEXT     writes TEXT followed by 1, 2 ... COUNT, a line each, to stdout
//   sleep MS             pauses
//   touch FILE           creates FILE, empty
//   pid FILE             writes its process id to FILE
//   wait-for FILE MS     waits until FILE exists; exits with code 3 if MS pass first
//   count FILE           adds one to the number in FILE; {n} in later TEXTs is that number
//   exit CODE            exits with CODE
//   crash                dies of SIGFPE, as bossac does on an empty image
//
// TEXT may hold \n, \r, \t, \\ and \xHH escapes; FILEs are relative to the working
// directory. A step it does not know ends it with code 2. The steps file and the FILEs
// in it are UTF-8. Without a steps file it says so on standard error and exits with
// code 2.
//
// It uses the standard library and the platform's own calls only, no Qt: the tests
// copy it alone into a folder, and like the real bossac.exe it must start there without
// any DLL beside it or on PATH.

#if defined(_WIN32) && defined(_MSC_VER)
// fopen and friends are fine here; the "use _s functions" advice would fail the build.
#define _CRT_SECURE_NO_WARNINGS
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A number as the steps write it; text without one counts as 0.
long long toNumber(const std::string &text, int base = 10)
{
    return std::strtoll(text.c_str(), nullptr, base);
}

int toInt(const std::string &text)
{
    return static_cast<int>(toNumber(text));
}

std::string unescape(const std::string &text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char code = text[++i];
        if (code == 'n')
            bytes += '\n';
        else if (code == 'r')
            bytes += '\r';
        else if (code == 't')
            bytes += '\t';
        else if (code == 'x' && i + 2 < text.size()) {
            bytes += static_cast<char>(toNumber(text.substr(i + 1, 2), 16));
            i += 2;
        } else
            bytes += code;
    }
    return bytes;
}

void replaceAll(std::string &text, const std::string &before, const std::string &after)
{
    for (std::size_t at = text.find(before); at != std::string::npos;
         at = text.find(before, at + after.size())) {
        text.replace(at, before.size(), after);
    }
}

void writeTo(std::FILE *stream, const std::string &bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

#ifdef _WIN32
std::wstring toWide(const std::string &text, UINT codePage)
{
    if (text.empty())
        return std::wstring();
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], length);
    return wide;
}

std::string toUtf8(const std::wstring &wide)
{
    if (wide.empty())
        return std::string();
    const int size = static_cast<int>(wide.size());
    const int length
        = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, &text[0], length, nullptr, nullptr);
    return text;
}

// The file names are UTF-8; the wide calls take any letter, whatever the ANSI code page.
std::FILE *openFile(const std::string &name, bool forWriting)
{
    if (name.empty())
        return nullptr;
    return ::_wfopen(toWide(name, CP_UTF8).c_str(), forWriting ? L"wb" : L"rb");
}

bool fileExists(const std::string &name)
{
    return !name.empty()
        && ::GetFileAttributesW(toWide(name, CP_UTF8).c_str()) != INVALID_FILE_ATTRIBUTES;
}

long long processId()
{
    return static_cast<long long>(::_getpid());
}

// Its own path, in UTF-16, read again with a larger buffer while the path fills it.
std::wstring ownPath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0)
            return std::wstring();
        if (length < size)
            return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

std::FILE *openSteps(std::string &name)
{
    const std::wstring path = ownPath() + L".steps";
    name = toUtf8(path);
    return ::_wfopen(path.c_str(), L"rb");
}
#else
std::FILE *openFile(const std::string &name, bool forWriting)
{
    return name.empty() ? nullptr : std::fopen(name.c_str(), forWriting ? "wb" : "rb");
}

bool fileExists(const std::string &name)
{
    struct stat status;
    return !name.empty() && ::stat(name.c_str(), &status) == 0;
}

long long processId()
{
    return static_cast<long long>(::getpid());
}

// Its own path, read again with a larger buffer while the path fills it.
std::string ownPath()
{
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return std::string();
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

std::FILE *openSteps(std::string &name)
{
    name = ownPath() + ".steps";
    return std::fopen(name.c_str(), "rb");
}
#endif

bool readFile(std::FILE *file, std::string &content)
{
    char chunk[4096];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0)
            return !std::ferror(file);
        content.append(chunk, got);
    }
}

bool writeFile(const std::string &name, const std::string &content)
{
    std::FILE *file = openFile(name, true);
    if (!file)
        return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef _WIN32
    // Line feeds stay line feeds, as on Linux.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
    // The arguments as the C runtime split them: on Windows that is how bossac
    // receives its command line, in the ANSI code page.
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
#ifdef _WIN32
        arguments += toUtf8(toWide(argv[i], CP_ACP));
#else
        arguments += argv[i];
#endif
        arguments += '\n';
    }

    std::string stepsName;
    std::FILE *stepsFile = openSteps(stepsName);
    std::string content;
    if (!stepsFile || !readFile(stepsFile, content)) {
        if (stepsFile)
            std::fclose(stepsFile);
        std::fprintf(stderr, "stand-in: no steps in %s\n", stepsName.c_str());
        return 2;
    }
    std::fclose(stepsFile);

    std::string run;
    for (std::size_t start = 0; start <= content.size();) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string step = content.substr(start, end - start);
        start = end + 1;

        // Trailing spaces belong to the step's text.
        if (!step.empty() && step.back() == '\r')
            step.pop_back();
        if (step.empty())
            continue;
        const std::size_t space = step.find(' ');
        const std::string name = step.substr(0, space);
        std::string rest = space == std::string::npos ? std::string() : step.substr(space + 1);
        replaceAll(rest, "{n}", run);
        const std::string &file = rest;

        if (name == "arguments") {
            writeFile(file, arguments);
        } else if (name == "stdout" || name == "stderr") {
            writeTo(name == "stdout" ? stdout : stderr, unescape(rest) + '\n');
        } else if (name == "lines") {
            const std::size_t gap = rest.find(' ');
            const std::string text
                = unescape(gap == std::string::npos ? rest : rest.substr(gap + 1));
            const int count = gap == std::string::npos ? 0 : toInt(rest.substr(0, gap));
            std::string lines;
            for (int n = 1; n <= count; ++n)
                lines += text + std::to_string(n) + '\n';
            writeTo(stdout, lines);
        } else if (name == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0LL, toNumber(rest))));
        } else if (name == "touch") {
            writeFile(file, std::string());
        } else if (name == "pid") {
            writeFile(file, std::to_string(processId()));
        } else if (name == "wait-for") {
            // The limit follows the last space, so the FILE may hold spaces.
            const std::size_t gap = rest.rfind(' ');
            const std::string path = gap == std::string::npos ? std::string() : rest.substr(0, gap);
            const long long limit
                = toNumber(gap == std::string::npos ? rest : rest.substr(gap + 1));
            const auto started = std::chrono::steady_clock::now();
            while (!fileExists(path)) {
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started);
                if (waited.count() > limit)
                    return 3;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        } else if (name == "count") {
            int previous = 0;
            if (std::FILE *counter = openFile(file, false)) {
                std::string number;
                if (readFile(counter, number))
                    previous = toInt(number);
                std::fclose(counter);
            }
            run = std::to_string(static_cast<long long>(previous) + 1);
            writeFile(file, run);
        } else if (name == "exit") {
            return toInt(rest);
        } else if (name == "crash") {
            std::signal(SIGFPE, SIG_DFL);
            std::raise(SIGFPE);
        } else {
            std::fprintf(stderr, "stand-in: unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
