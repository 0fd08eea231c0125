#pragma once
// Every line of the log since it was last cleared, kept on disk in an
// anonymous temporary file, so the program's memory does not grow with the
// log. The file disappears when the store is cleared or destroyed, and with
// the process even if it dies.
#include <QString>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

class TLogStore {
public:
    TLogStore();
    ~TLogStore();
    TLogStore(const TLogStore&) = delete;
    TLogStore& operator=(const TLogStore&) = delete;

    void Append(const QString& Line);
    void Clear();
    std::uint64_t Lines() const { return FLines; }

    // Writes every line, one per line, UTF-8, to Path (replacing it only
    // once the whole log is written). On failure returns false and the
    // reason in Error; the store keeps everything either way.
    bool SaveTo(const QString& Path, QString& Error);

private:
    void OpenFile();
    void CloseFile();
    // Moves the buffered lines to the file; on a write error they stay in
    // memory and the store keeps to memory from then on.
    void Flush();

    std::FILE* FFile = nullptr;
    // Closes the file of the previous clear: freeing a long log's pages
    // takes tens of milliseconds that the caller need not wait for.
    std::thread FCloser;
    // Bytes not yet written to the file. Without a file (none could be made,
    // or the disk failed) everything stays here.
    std::string FPending;
    std::uint64_t FLines = 0;
};
