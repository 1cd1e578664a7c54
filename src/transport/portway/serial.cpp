// Serial links: a character device in raw mode, opened without exclusive use so
// that several processes can share it under the link lock.
//
// The device is opened twice: a non-blocking descriptor for writes, input
// resets and reads of what is there, and a blocking one on which the wait for
// an answer is a single read that the driver ends after a tenth of a second
// without input (VMIN 0, VTIME 1), instead of a poll and a read. These two
// settings belong to the port, not to the descriptor: another program that
// sets VTIME 0 on an open link makes that wait last until input comes.
#include "transport/portway/channel.h"
#include "transport/portway/device_paths.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace kelvo::portway {
namespace {

// A blocking read ends after VTIME tenths of a second without input; waits
// shorter than this go through poll, which keeps the deadline to the millisecond.
constexpr std::chrono::milliseconds kBlockingSlice{120};

class SerialChannel final : public Channel {
public:
    SerialChannel(int fd, int blockingFd, bool pseudoTerminal)
        : Channel(fd), blockingFd_(blockingFd), pseudoTerminal_(pseudoTerminal) {}

    ~SerialChannel() override {
        if (blockingFd_ >= 0)
            ::close(blockingFd_);
    }

    IoResult ReadSome(std::uint8_t* data, std::size_t size) override {
        for (;;) {
            ssize_t n = ::read(fd_, data, size);
            if (n > 0)
                return {IoStatus::Done, static_cast<std::size_t>(n)};
            // A non-blocking read with VTIME set reports an empty queue as
            // EAGAIN: an empty read means the line hung up.
            if (n == 0)
                return {IoStatus::Closed, 0};
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return {IoStatus::WantRead, 0};
            if (errno == EIO)
                return {IoStatus::Closed, 0};
            return {IoStatus::Failed, 0};
        }
    }

    IoResult ReadWithin(std::uint8_t* data, std::size_t size, Clock::time_point deadline) override {
        while (blockingFd_ >= 0 && deadline - Clock::now() > kBlockingSlice) {
            ssize_t n = ::read(blockingFd_, data, size);
            if (n > 0)
                return {IoStatus::Done, static_cast<std::size_t>(n)};
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EIO)
                return {IoStatus::Closed, 0};
            if (n < 0 && errno != EAGAIN)
                return {IoStatus::Failed, 0};
            // A tenth of a second passed without input, or the line hung up:
            // the non-blocking read tells which.
            IoResult r = ReadSome(data, size);
            if (r.status != IoStatus::WantRead)
                return r;
        }
        return Channel::ReadWithin(data, size, deadline);
    }

    IoResult WriteSome(const std::uint8_t* data, std::size_t size) override {
        for (;;) {
            ssize_t n = ::write(fd_, data, size);
            if (n >= 0)
                return {IoStatus::Done, static_cast<std::size_t>(n)};
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return {IoStatus::WantWrite, 0};
            if (errno == EIO)
                return {IoStatus::Closed, 0};
            return {IoStatus::Failed, 0};
        }
    }

    // The driver's input queue is the whole of the unread input.
    bool DropInput() override { return ::tcflush(fd_, TCIFLUSH) == 0 || errno != EIO; }

    // A pseudo-terminal hands written bytes to its other side at once: there
    // is no transmitter to wait for.
    bool Drain() override {
        if (pseudoTerminal_)
            return true;
        int rc;
        do {
            rc = ::tcdrain(fd_);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

private:
    const int blockingFd_; // -1 when the second open failed: waits use poll
    const bool pseudoTerminal_;
};

// Unix 98 pseudo-terminal slaves have majors 136 to 143.
bool IsPseudoTerminal(const struct stat& st) {
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// Asks the driver to hand received bytes on at once rather than after its
// usual delay; drivers without the setting (a pseudo-terminal) refuse it.
void AskLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY))
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
}

bool SpeedOf(unsigned baud, speed_t* speed) {
    static constexpr struct {
        unsigned baud;
        speed_t speed;
    } kSpeeds[] = {
        {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
        {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
        {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
        {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
    };
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            *speed = s.speed;
            return true;
        }
    }
    return false;
}

bool Configure(int fd, const SerialSettings& settings) {
    speed_t speed;
    if (!SpeedOf(settings.baud, &speed))
        return false;
    termios t;
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (settings.dataBits) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    if (settings.parity != 'N')
        t.c_cflag |= PARENB;
    if (settings.parity == 'O')
        t.c_cflag |= PARODD;
    if (settings.stopBits == 2)
        t.c_cflag |= CSTOPB;
    // A blocking read returns what has come, or nothing after a tenth of a
    // second; a non-blocking read without data still reports EAGAIN.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)
        return false;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

OpenResult OpenSerial(const SerialTarget& target) {
    OpenResult out;
    std::string path = ComDevicePath(target.port);
    const std::string what = "cannot open COM" + std::to_string(target.port) + " (" + path + "): ";
    struct stat st;
    const bool found = ::stat(path.c_str(), &st) == 0;
    if (!found || !S_ISCHR(st.st_mode)) {
        out.failure = what + (found ? "not a serial device" : SystemText(errno));
        out.error = PW_NO_DEVICE;
        return out;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        out.failure = what + SystemText(errno);
        if (errno == EACCES)
            out.failure += " (is the user in the group that owns the device, e.g. dialout?)";
        out.error = PW_PORT_OPEN_FAILED;
        return out;
    }
    speed_t speed;
    if (!SpeedOf(target.settings.baud, &speed) || !Configure(fd, target.settings)) {
        out.failure = what + (SpeedOf(target.settings.baud, &speed)
                                  ? "cannot set it up: " + SystemText(errno)
                                  : "the baud rate " + std::to_string(target.settings.baud) +
                                        " is not supported");
        ::close(fd);
        out.error = PW_PORT_OPEN_FAILED;
        return out;
    }
    AskLowLatency(fd);
    // Opened after the settings above, so CLOCAL spares it the wait for carrier.
    const int blockingFd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    // Links through different comN names to one device share one lock: the
    // device node itself, whatever the user or environment of the process.
    char resolved[PATH_MAX];
    out.lockNode = ::realpath(path.c_str(), resolved) ? resolved : path;
    out.linkId = "serial-" + out.lockNode;
    out.channel = std::make_unique<SerialChannel>(fd, blockingFd, IsPseudoTerminal(st));
    return out;
}

} // namespace kelvo::portway
