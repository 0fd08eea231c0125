#include "app/log/LogStore.h"

#include <QSaveFile>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Lines are gathered to this size before they go to the file.
constexpr std::size_t kFlushBytes = 64 * 1024;

} // namespace

TLogStore::TLogStore() { OpenFile(); }

TLogStore::~TLogStore()
{
    CloseFile();
    if (FCloser.joinable())
        FCloser.join();
}

void TLogStore::OpenFile()
{
#ifndef _WIN32
    // In $TMPDIR when the user set one (tmpfile() always takes /tmp, which
    // may be small); unlinked at once, so it goes with the process.
    if (const char* dir = std::getenv("TMPDIR"); dir && *dir) {
        std::string path = std::string(dir) + "/modbuscrc-log-XXXXXX";
        const int fd = mkstemp(path.data());
        if (fd >= 0) {
            unlink(path.c_str());
            FFile = fdopen(fd, "w+");
            if (FFile)
                return;
            close(fd);
        }
    }
#endif
    FFile = std::tmpfile();
}

void TLogStore::CloseFile()
{
    if (FFile)
        std::fclose(FFile);
    FFile = nullptr;
}

void TLogStore::Append(const QString& Line)
{
    FPending += Line.toStdString();
    FPending += '\n';
    ++FLines;
    if (FPending.size() >= kFlushBytes)
        Flush();
}

void TLogStore::Flush()
{
    if (!FFile || FPending.empty())
        return;
    long before = -1;
    if (std::fseek(FFile, 0, SEEK_END) == 0)
        before = std::ftell(FFile);
    if (before >= 0 && std::fwrite(FPending.data(), 1, FPending.size(), FFile) == FPending.size() &&
        std::fflush(FFile) == 0) {
        FPending.clear();
        return;
    }
    // The disk let us down. How much of this batch reached the file is
    // unknown, so the lines written before it are read back and the store
    // keeps everything in memory from now on.
    std::string kept;
    if (before > 0) {
        kept.resize(static_cast<std::size_t>(before));
        std::clearerr(FFile);
        std::rewind(FFile);
        kept.resize(std::fread(kept.data(), 1, kept.size(), FFile));
    }
    CloseFile();
    FPending.insert(0, kept);
}

void TLogStore::Clear()
{
    if (FCloser.joinable())
        FCloser.join();
    if (FFile) {
        try {
            FCloser = std::thread([file = FFile] { std::fclose(file); });
        } catch (const std::system_error&) {
            std::fclose(FFile); // no thread to spare: close it here
        }
    }
    FFile = nullptr;
    FPending.clear();
    FPending.shrink_to_fit();
    FLines = 0;
    OpenFile();
}

bool TLogStore::SaveTo(const QString& Path, QString& Error)
{
    Flush();
    QSaveFile out(Path);
    if (!out.open(QIODevice::WriteOnly)) {
        Error = out.errorString();
        return false;
    }
    if (FFile) {
        std::rewind(FFile);
        std::vector<char> chunk(kFlushBytes);
        for (;;) {
            const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), FFile);
            if (got > 0 && out.write(chunk.data(), static_cast<qint64>(got)) != static_cast<qint64>(got)) {
                Error = out.errorString();
                out.cancelWriting();
                return false;
            }
            if (got < chunk.size())
                break;
        }
        // A short read is the end only if it is not an error: a truncated
        // save must not be reported as done.
        if (std::ferror(FFile)) {
            std::clearerr(FFile);
            Error = QStringLiteral("读取记录的临时文件出错");
            out.cancelWriting();
            return false;
        }
    }
    if (!FPending.empty() && out.write(FPending.data(), static_cast<qint64>(FPending.size())) !=
                                 static_cast<qint64>(FPending.size())) {
        Error = out.errorString();
        out.cancelWriting();
        return false;
    }
    if (!out.commit()) {
        Error = out.errorString();
        return false;
    }
    return true;
}
