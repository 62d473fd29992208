#include <cstdio>
#include <cstring>

#include "backup/Backup.h"
#include "Device.h"
#include "SambaXcon.h"
#include "TarvoXcon.h"

namespace backup {

namespace {

// Not a power of two: the client fetches the first byte of such a raw read
// on its own, which would cost one more exchange per piece. Over XMODEM it
// is 32 blocks, the last one three quarters full.
constexpr uint32_t PIECE = 4064;
// Reads of one piece before it counts as unreadable: two alike end it.
constexpr int PIECE_READS = 4;

uint32_t pieceAt(uint32_t size, uint32_t done)
{
    return size - done < PIECE ? size - done : PIECE;
}

// Ends the report's step however the reading ends.
class Step {
public:
    Step(Report& report, const std::string& label, uint64_t total) : _report(report)
    {
        _report.stepStarted(label, total);
    }
    ~Step() { _report.stepFinished(); }
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

private:
    Report& _report;
};

}  // namespace

Read readChecked(Samba& samba, ReadSession& session, Report& report, const std::string& label,
                 uint32_t addr, uint32_t size, Bytes& data, uint32_t& checksum)
{
    data.assign(size, 0);
    checksum::Candidates once;
    {
        Step step(report, "Reading " + label, size);
        for (uint32_t done = 0; done < size;) {
            if (report.stopRequested())
                return Read::Stopped;
            const uint32_t piece = pieceAt(size, done);
            samba.read(addr + done, data.data() + done, static_cast<int>(piece));
            once.add(data.data() + done, piece);
            done += piece;
            report.stepProgress(done, size);
        }
    }
    checksum = samba.checksumBuffer(addr, size);
    char line[200];
    // The answer over the bytes taken: when a formula still known gives it,
    // the session keeps only the formulas that did.
    const auto confirmed = [&](const checksum::Candidates& over, const char* how) {
        const checksum::FormulaSet matched = over.matching(checksum, session.known);
        if (matched == 0)
            return false;
        session.known = matched;
        session.vouched = true;
        snprintf(line, sizeof(line),
                 "%s: %u bytes from 0x%05X read %s, confirmed by the adapter's checksum "
                 "0x%08X (%s)\n",
                 label.c_str(), size, addr, how, checksum, checksum::names(matched).c_str());
        report.text(line);
        return true;
    };
    if (confirmed(once, "once"))
        return Read::Ok;
    if (session.vouched) {
        snprintf(line, sizeof(line),
                 "%s: the read is not what the adapter's checksum 0x%08X (%s) says, reading "
                 "it again\n",
                 label.c_str(), checksum, checksum::names(session.known).c_str());
        report.text(line);
    }

    // The first read is each piece's first; each further read is compared
    // with every earlier one: two alike are taken, as a read spoiled twice
    // the same way is unlikely.
    std::vector<Bytes> reads(PIECE_READS);
    unsigned again = 0;
    bool readable = true;
    {
        Step step(report, "Reading " + label + " again", size);
        for (uint32_t done = 0; done < size && readable;) {
            if (report.stopRequested())
                return Read::Stopped;
            const uint32_t piece = pieceAt(size, done);
            reads[0].assign(data.begin() + done, data.begin() + done + piece);
            bool agreed = false;
            for (int n = 1; n < PIECE_READS && !agreed; n++) {
                reads[n].resize(piece);
                samba.read(addr + done, reads[n].data(), static_cast<int>(piece));
                for (int k = 0; k < n && !agreed; k++)
                    agreed = reads[k] == reads[n];
                if (agreed)
                    memcpy(data.data() + done, reads[n].data(), piece);
                else if (n == 1)
                    again++;
            }
            readable = agreed;
            done += piece;
            report.stepProgress(done, size);
        }
    }
    if (!readable) {
        snprintf(line, sizeof(line),
                 "%s: the adapter does not read back reliably (no two of %d reads of a "
                 "piece agreed), abort\n",
                 label.c_str(), PIECE_READS);
        report.text(line);
        return Read::Unreliable;
    }
    if (again != 0) {
        snprintf(line, sizeof(line), "%s: %u piece%s read again after two reads differed\n",
                 label.c_str(), again, again == 1 ? "" : "s");
        report.text(line);
    }
    checksum::Candidates twice;
    twice.add(data.data(), data.size());
    if (confirmed(twice, "twice alike"))
        return Read::Ok;
    if (session.vouched) {
        // The same bytes twice, and still not what this adapter's own
        // formula gives: either the flash or the answer cannot be trusted.
        snprintf(line, sizeof(line),
                 "%s: read twice alike, but not what the adapter's checksum 0x%08X (%s) says: "
                 "the adapter does not read back reliably, abort\n",
                 label.c_str(), checksum, checksum::names(session.known).c_str());
        report.text(line);
        return Read::Unreliable;
    }
    // No formula is known for this adapter: nothing relies on one from here.
    session.known = 0;
    snprintf(line, sizeof(line), "%s: %u bytes from 0x%05X read twice alike, adapter checksum 0x%08X\n",
             label.c_str(), size, addr, checksum);
    report.text(line);
    return Read::Ok;
}

Read readRegions(Samba& samba, ReadSession& session, Report& report, uint32_t chipId,
                 Bytes& firmware, uint32_t& firmwareChecksum, Bytes& settings,
                 uint32_t& settingsChecksum)
{
    Read read = readChecked(samba, session, report, "firmware", device::FIRMWARE_BASE,
                            device::romSize(chipId), firmware, firmwareChecksum);
    if (read == Read::Ok)
        read = readChecked(samba, session, report, "settings", device::settingsBase(chipId),
                           device::SETTINGS_SIZE, settings, settingsChecksum);
    return read;
}

std::string adapterReport(Samba& samba, uint32_t chipId, std::string& version)
{
    std::string info;
    infoLines(samba, chipId, [&info, &version](const std::string& text) {
        // The first line is the version text as the monitor sent it.
        const std::string prefix = "Bootloader Version: ";
        if (info.empty() && text.compare(0, prefix.size(), prefix) == 0 && text.back() == '\n')
            version = text.substr(prefix.size(), text.size() - prefix.size() - 1);
        info += text;
    });
    return info;
}

}  // namespace backup
