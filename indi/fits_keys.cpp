// The keys of our own in each frame's FITS header: the camera, the CCD and
// the readout as it was read, the driver's pedestal, the cooler's setpoint.
#include <indiccd.h>

#include <string>

#include "client/fits_keys.h"
#include "indi/zeva_ccd.h"

namespace zeva::indi {

// Writes a key in the form the INDI version takes: INDI 2 collects records
// that the base class writes after addFITSKeywords returns, INDI 1.9 has
// the keys written into the open file.
class KeyWriter {
  public:
#if INDI_VERSION_MAJOR >= 2
    explicit KeyWriter(std::vector<INDI::FITSRecord>& records) : records_(records) {}
    void Text(const char* key, const std::string& value, const char* comment) {
        Put(INDI::FITSRecord(key, value.c_str(), comment));
    }
    void Integer(const char* key, long long value, const char* comment) {
        Put(INDI::FITSRecord(key, static_cast<int64_t>(value), comment));
    }
    void Real(const char* key, double value, int decimals, const char* comment) {
        Put(INDI::FITSRecord(key, value, decimals, comment));
    }

  private:
    // A key the base class gave (INSTRUME) takes our value.
    void Put(INDI::FITSRecord record) {
        for (INDI::FITSRecord& r : records_)
            if (r.key() == record.key()) {
                r = std::move(record);
                return;
            }
        records_.push_back(std::move(record));
    }
    std::vector<INDI::FITSRecord>& records_;
#else
    explicit KeyWriter(fitsfile* f) : f_(f) {}
    void Text(const char* key, const std::string& value, const char* comment) {
        fits_update_key_str(f_, key, value.c_str(), comment, &status_);
    }
    void Integer(const char* key, long long value, const char* comment) {
        fits_update_key_lng(f_, key, value, comment, &status_);
    }
    void Real(const char* key, double value, int decimals, const char* comment) {
        fits_update_key_dbl(f_, key, value, decimals, comment, &status_);
    }

  private:
    fitsfile* f_;
    int status_ = 0;
#endif
};

#if INDI_VERSION_MAJOR >= 2
void ZevaCCD::addFITSKeywords(INDI::CCDChip* chip, std::vector<INDI::FITSRecord>& records) {
    INDI::CCD::addFITSKeywords(chip, records);
    KeyWriter keys(records);
    WriteFrameKeys(chip, keys);
}
#else
void ZevaCCD::addFITSKeywords(INDI::CCDChip* chip) {
    INDI::CCD::addFITSKeywords(chip);
    fitsfile* f = *chip->fitsFilePointer();
    if (!f)
        return;
    KeyWriter keys(f);
    WriteFrameKeys(chip, keys);
}
#endif

void ZevaCCD::WriteFrameKeys(INDI::CCDChip* chip, KeyWriter& keys) {
    client::ReadoutPlan plan;
    {
        std::lock_guard<std::mutex> g(framePlanLock_);
        plan = framePlan_[chip == &GuideCCD ? 1 : 0];
    }
    const client::CcdInfo& info = info_[plan.ccd];
    keys.Text("INSTRUME", info.name, "camera model");
    keys.Text("CCD", plan.ccd == 0 ? "Imaging" : "Tracking", "CCD read");
    keys.Text("ROWORDER", "TOP-DOWN", "first line read is row 1");
    keys.Integer("READMODE", plan.mode, "readout mode");
    if (plan.mode >= 3 && plan.mode <= 5)
        keys.Integer("VFACTOR", plan.verticalFactor, "rows shifted per line");
    if (plan.mode < info.modes.size())
        keys.Real("EGAIN", client::BcdHundredths(info.modes[plan.mode].gain), 6,
                  "electrons per ADU");
    const client::Window read = plan.Unbinned();
    keys.Integer("XORGSUBF", read.x, "subframe origin x [unbinned px]");
    keys.Integer("YORGSUBF", read.y, "subframe origin y [unbinned px]");
    keys.Integer(client::kPedestalKey, client::PedestalOf(cameraType_, plan.ccd),
                 client::kPedestalComment);
    if (CoolerS[0].s == ISS_ON && haveTarget_)
        keys.Real("SET-TEMP", lastTarget_, 3, "cooler setpoint [C]");
    // The header is written: the chip may take the next request.
    {
        std::lock_guard<std::mutex> g(writeLock_);
        writing_[plan.ccd] = false;
    }
    written_.notify_all();
}

}  // namespace zeva::indi
