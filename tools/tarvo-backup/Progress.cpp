#include <chrono>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "Backup.h"
#include "Checksum.h"
#include "SambaXcon.h"

namespace {

// Not a power of two: the client fetches the first byte of such a raw read
// on its own, which would cost one more exchange per piece. Over XMODEM it
// is 32 blocks, the last one three quarters full.
constexpr uint32_t PIECE = 4064;
// Without a terminal, one dot per this many bytes.
constexpr uint32_t DOT_BYTES = 16384;

bool onTerminal()
{
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

class Progress {
public:
    Progress(const char* label, uint32_t total)
        : _label(label), _total(total), _terminal(onTerminal()),
          _start(std::chrono::steady_clock::now())
    {
        if (!_terminal)
            printf("Reading %s ", _label);
        show(0);
    }

    void show(uint32_t done)
    {
        if (_terminal) {
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                           _start).count();
            double rate = seconds > 0 ? done / seconds / 1024 : 0;
            int percent = _total ? static_cast<int>(uint64_t{done} * 100 / _total) : 100;
            printf("\rReading %s %3d%%  %u/%u bytes  %.1f KB/s   ", _label, percent, done, _total,
                   rate);
        } else {
            for (; _dots * DOT_BYTES < done; _dots++)
                printf(".");
        }
        fflush(stdout);
    }

    void finish()
    {
        printf("\n");
        fflush(stdout);
    }

private:
    const char* _label;
    uint32_t _total;
    bool _terminal;
    std::chrono::steady_clock::time_point _start;
    uint32_t _dots = 0;
};

}  // namespace

void readRegion(Samba& samba, const char* label, uint32_t addr, uint32_t size, Bytes& data)
{
    data.assign(size, 0);
    Progress progress(label, size);
    for (uint32_t done = 0; done < size;) {
        uint32_t piece = size - done < PIECE ? size - done : PIECE;
        samba.read(addr + done, data.data() + done, static_cast<int>(piece));
        done += piece;
        progress.show(done);
    }
    progress.finish();
}

bool readChecked(Samba& samba, const char* label, uint32_t addr, uint32_t size, Bytes& data,
                 uint32_t& checksum)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        readRegion(samba, label, addr, size, data);
        uint32_t sum = adapterChecksum(data.data(), data.size());
        checksum = samba.checksumBuffer(addr, size);
        if (sum == checksum) {
            printf("%s: %u bytes from 0x%05X, checksum 0x%08X as the adapter's\n", label, size,
                   addr, checksum);
            return true;
        }
        printf("%s: read back sums to 0x%08X, the adapter's checksum is 0x%08X%s\n", label, sum,
               checksum, attempt == 0 ? ", reading it again" : "");
    }
    printf("%s: the adapter does not read back reliably, abort\n", label);
    return false;
}
