// What the driver tests run the driver with: an indiserver on a free loopback port with a
// private socket and a scratch HOME, the INDI command-line tools with time limits, a small INDI
// client that collects BLOBs and messages, and FITS files read back by fitsverify and astropy.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <libindi/baseclient.h>

namespace hx::indi::test {

/// The end of a program run with a time limit.
struct RunResult {
    int status = -1;    ///< exit status; -1 when killed at the time limit or not started
    std::string output; ///< standard output
};

/// Runs a program (looked up on PATH) with extra environment and a time limit.
RunResult runProgram(const std::vector<std::string>& argv, double seconds,
                     const std::map<std::string, std::string>& env = {});

/// One indiserver with the driver, on simulated cameras.
class IndiServer {
public:
    /// `simulate` is the HALVEX_SIMULATE list; `pacing` "realtime" or "fast".
    IndiServer(const std::string& simulate, const std::string& pacing = "realtime");
    /// Stops the server and the driver (bounded) and removes the scratch directory.
    ~IndiServer();
    IndiServer(const IndiServer&) = delete;
    IndiServer& operator=(const IndiServer&) = delete;

    /// True once the server answers and the simulator device is there (bounded wait).
    bool ready() const { return ready_; }
    int port() const { return port_; }
    const std::filesystem::path& home() const { return home_; }
    /// The server's log so far (for failure messages).
    std::string log() const;

    /// indi_getprop of one element; empty when it does not answer.
    std::string get(const std::string& spec, double seconds = 3) const;
    /// Every "device.property.element=value" line of a pattern.
    std::vector<std::string> getAll(const std::string& pattern, double seconds = 3) const;
    /// indi_setprop; true when the tool reports success.
    bool set(const std::string& spec) const;
    /// indi_eval -w: waits until the expression holds; false when it did not within `seconds`.
    bool waitFor(const std::string& expression, double seconds) const;
    /// Waits until a device exists (its CONNECTION property answers) or is gone.
    bool waitForDevice(const std::string& device, bool present, double seconds) const;
    /// Sends a new value of one text element as a client would, over a connection of its own,
    /// whatever its length; true when the whole message was written and the server then
    /// closed the connection (bounded). The answer goes to every client watching the device.
    bool sendText(const std::string& device, const std::string& property,
                  const std::string& element, const std::string& text) const;

private:
    std::filesystem::path home_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

/// An INDI client that keeps every BLOB of CCD1 and every message, per device.
class BlobClient : public INDI::BaseClient {
public:
    struct Blob {
        std::string device;
        std::string format;
        std::vector<uint8_t> data;
        std::chrono::steady_clock::time_point at;
    };

    explicit BlobClient(int port);
    ~BlobClient() override;

    bool connected() const { return connected_; }
    /// Waits for the count of BLOBs of a device to reach `count`; false at the time limit.
    bool waitForBlobs(const std::string& device, size_t count, double seconds);
    std::vector<Blob> blobs(const std::string& device) const;
    void clearBlobs();
    /// Waits for a message of a device that contains `text`; false at the time limit.
    bool waitForMessage(const std::string& device, const std::string& text, double seconds);
    /// Messages of a device so far.
    std::vector<std::string> messages(const std::string& device) const;
    /// The last state the client saw of a property, "" when it saw none.
    std::string lastState(const std::string& device, const std::string& property) const;
    bool waitForRemoval(const std::string& device, double seconds);

protected:
    void newDevice(INDI::BaseDevice device) override;
    void removeDevice(INDI::BaseDevice device) override;
    void newProperty(INDI::Property property) override;
    void updateProperty(INDI::Property property) override;
    void newMessage(INDI::BaseDevice device, int messageID) override;

private:
    void note(INDI::Property property);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Blob> blobs_;
    std::map<std::string, std::vector<std::string>> messages_;
    std::map<std::string, std::string> states_;
    std::vector<std::string> removed_;
    bool connected_ = false;
};

/// A FITS file read back: fitsverify's verdict and a reader's view of the primary header and
/// data.
struct FitsReport {
    bool verified = false; ///< fitsverify found no error and no warning
    std::string verifyOutput;
    std::map<std::string, std::string> header; ///< keyword -> value as astropy gives it
    std::vector<int> shape;                    ///< numpy shape (rows, columns)
    double mean = 0;
    std::string error; ///< why the file could not be read
};

/// fitsverify and cfitsio.
FitsReport readFits(const std::filesystem::path& file);
/// fitsverify and astropy (Debian's python), a second reader written by other people.
FitsReport readFitsWithAstropy(const std::filesystem::path& file);
/// Writes a BLOB to a file in dir and reads it back with cfitsio; the file's path in *path.
FitsReport readFitsBlob(const BlobClient::Blob& blob, const std::filesystem::path& dir,
                        std::filesystem::path* path = nullptr);

} // namespace hx::indi::test
