#pragma once
// Test helpers: a pseudo-terminal pair standing in for a serial device, and a
// device-map folder that points COM names at such pairs.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return fMaster; }
    const std::string& slavePath() const { return fSlavePath; }

    // Writes all bytes to the master side (the "device" sending).
    void write(const Bytes& data);
    void write(const void* data, std::size_t size);
    // Reads from the master side until `want` bytes arrived or `timeout` passed.
    Bytes read(std::size_t want, std::chrono::milliseconds timeout);
    // Reads until the line has been quiet for `quiet`, or `limit` passed.
    Bytes readUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit);
    // Closes the master: the slave side hangs up, as an unplugged adapter does.
    void closeMaster();
    // Closes the helper's own slave descriptor (kept so the line stays up
    // while the library closes and reopens the device).
    void closeSlaveKeeper();

private:
    int fMaster = -1;
    int fSlaveKeeper = -1;
    std::string fSlavePath;
};

// A temporary folder set as $KELVORCOMM_DEVICES for its lifetime.
class DeviceMap {
public:
    DeviceMap();
    ~DeviceMap();
    DeviceMap(const DeviceMap&) = delete;
    DeviceMap& operator=(const DeviceMap&) = delete;
    // Maps COM<n> to the given device path (a symlink "com<n>").
    void map(int comNo, const std::string& target);
    void unmap(int comNo);
    const std::string& path() const { return fPath; }

private:
    std::string fPath;
    std::string fOldValue;
    bool fHadOld = false;
};

// Number of open file descriptors and threads of this process (leak checks).
int CountOpenFds();
int CountThreads();

Bytes HexBytes(const char* hex); // "01 03 00" -> {1, 3, 0}

} // namespace testsupport
