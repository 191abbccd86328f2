// Exported functions over the teeth members. Handles own plain copies of the
// loaded values; nothing here lets an exception reach the caller.
#include <cstring>
#include <new>

#include "base/tq_error.h"
#include "bundle/tq_bundle.h"
#include "tessera/tq_bankdec_ff.h"
#include "tessera/tq_bundle_tessera.h"
#include "tq/tq.h"

struct tq_tessera_carriage {
  tq::TesseraCarriage c;
  std::string lastPath;  // backs the result of tq_tessera_carriage_path
};

struct tq_tessera_members {
  tq::TesseraAttachInputs in;
  std::array<int32_t, tq::GeometryStamp::kCount> stamp{};
};

namespace {

void putErr(char* err, int errcap, const std::string& msg) {
  if (err && errcap > 0) tq::fill_err(err, static_cast<std::size_t>(errcap), msg);
}

const char* cstr(const tq_tessera_members* m, const std::string tq::TesseraAttachInputs::*f) {
  return m ? (m->in.*f).c_str() : "";
}

}  // namespace

extern "C" {

int tq_tessera_slot_count(void) { return tq::tesseraSlotCount(); }

const char* tq_tessera_slot_key(int i) {
  if (i < 0 || i >= tq::tesseraSlotCount()) return nullptr;
  return tq::tesseraSlotKeys()[static_cast<std::size_t>(i)].c_str();
}

tq_tessera_carriage* tq_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  try {
    auto* h = new tq_tessera_carriage;
    try {
      h->c = tq::tesseraCarriage(std::string(bundle_dir));
    } catch (...) {
      // A bundle that cannot even be scanned carries nothing.
      h->c = tq::TesseraCarriage();
      h->c.missing = tq::tesseraSlotKeys();
      h->c.complete = false;
    }
    return h;
  } catch (...) {
    return nullptr;
  }
}

void tq_tessera_carriage_close(tq_tessera_carriage* c) { delete c; }

int tq_tessera_carriage_complete(const tq_tessera_carriage* c) { return c && c->c.complete ? 1 : 0; }

int tq_tessera_carriage_declared(const tq_tessera_carriage* c) { return c && c->c.declared ? 1 : 0; }

const char* tq_tessera_carriage_path(tq_tessera_carriage* c, const char* slot_key) {
  if (!c || !slot_key) return "";
  try {
    c->lastPath = c->c.path(slot_key);
    return c->lastPath.c_str();
  } catch (...) {
    return "";
  }
}

int tq_tessera_carriage_missing_count(const tq_tessera_carriage* c) {
  return c ? static_cast<int>(c->c.missing.size()) : 0;
}

const char* tq_tessera_carriage_missing(const tq_tessera_carriage* c, int i) {
  if (!c || i < 0 || static_cast<std::size_t>(i) >= c->c.missing.size()) return nullptr;
  return c->c.missing[static_cast<std::size_t>(i)].c_str();
}

tq_tessera_members* tq_tessera_members_open(const char* bundle_dir, char* err, int errcap) {
  if (!bundle_dir) {
    putErr(err, errcap, "tq_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  try {
    auto* h = new tq_tessera_members;
    try {
      h->in = tq::loadTesseraMembers(std::string(bundle_dir));
      h->stamp = h->in.stamp.values();
    } catch (...) {
      delete h;
      throw;
    }
    return h;
  } catch (const std::bad_alloc&) {
    putErr(err, errcap, "tq_tessera_members_open: out of memory");
  } catch (const std::exception& e) {
    putErr(err, errcap, e.what());
  } catch (...) {
    putErr(err, errcap, "tq_tessera_members_open: unknown failure");
  }
  return nullptr;
}

void tq_tessera_members_close(tq_tessera_members* m) { delete m; }

int tq_tessera_members_n_donors(const tq_tessera_members* m) { return m ? m->in.n_donors : 0; }

const double* tq_tessera_members_cent(const tq_tessera_members* m) {
  return m && !m->in.cent.empty() ? m->in.cent.data() : nullptr;
}

const double* tq_tessera_members_c_canon(const tq_tessera_members* m) {
  return m ? m->in.c_canon.data() : nullptr;
}

const double* tq_tessera_members_aperture(const tq_tessera_members* m) {
  return m && !m->in.aperture.empty() ? m->in.aperture.data() : nullptr;
}

const int32_t* tq_tessera_members_stamp(const tq_tessera_members* m) {
  return m ? m->stamp.data() : nullptr;
}

const uint8_t* tq_tessera_members_head_pt(const tq_tessera_members* m) {
  return m && !m->in.head_pt.empty() ? m->in.head_pt.data() : nullptr;
}

uint32_t tq_tessera_members_head_pt_len(const tq_tessera_members* m) {
  return m ? static_cast<uint32_t>(m->in.head_pt.size()) : 0;
}

const char* tq_tessera_members_head_json(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::head_json);
}
const char* tq_tessera_members_manifest_json(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::manifest_json);
}
const char* tq_tessera_members_bank_track_path(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::bank_track_path);
}
const char* tq_tessera_members_bank_container(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::bank_container);
}
const char* tq_tessera_members_bank_codec(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::bank_codec);
}
const char* tq_tessera_members_bank_pix_fmt(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::bank_pix_fmt);
}
const char* tq_tessera_members_bank_packing(const tq_tessera_members* m) {
  return cstr(m, &tq::TesseraAttachInputs::bank_packing);
}

int tq_tessera_members_band_w(const tq_tessera_members* m) { return m ? m->in.band_w : 0; }
int tq_tessera_members_band_h(const tq_tessera_members* m) { return m ? m->in.band_h : 0; }

uint64_t tq_tessera_members_band_bytes(const tq_tessera_members* m) {
  return m ? m->in.bandBytes() : 0;
}

int tq_tessera_members_reorder(const tq_tessera_members* m, const uint8_t* track, uint8_t* donor,
                               char* err, int errcap) {
  if (!m || !track || !donor) {
    putErr(err, errcap, "tq_tessera_members_reorder: null argument");
    return 1;
  }
  try {
    tq::reorderTrackToDonor(m->in, track, donor);
    return 0;
  } catch (const std::exception& e) {
    putErr(err, errcap, e.what());
  } catch (...) {
    putErr(err, errcap, "tq_tessera_members_reorder: unknown failure");
  }
  return 1;
}

int tq_tessera_members_read_bank(const tq_tessera_members* m, uint8_t* donor, char* err, int errcap) {
  tq::clearErr();
  const char* fn = "tq_tessera_members_read_bank";
  const auto fail = [&](const std::string& msg) {
    putErr(err, errcap, msg);
    tq::setErrText(msg);
    return 1;
  };
  if (!m || !donor) return fail(std::string(fn) + ": null argument");
  try {
    const std::string track = tq::readFile(m->in.bank_track_path);
    const std::vector<uint8_t> bank = tq::tessera::decodeBankTrack(
        reinterpret_cast<const uint8_t*>(track.data()), track.size(), m->in.n_donors, m->in.band_w, m->in.band_h,
        m->in.track_order);
    if (bank.size() != m->in.bandBytes()) return fail(std::string(fn) + ": decoded bank size disagrees with the stamp");
    std::memcpy(donor, bank.data(), bank.size());
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(std::string(fn) + ": out of memory");
  } catch (const std::exception& e) {
    return fail(std::string(fn) + ": " + e.what());
  } catch (...) {
    return fail(std::string(fn) + ": unknown failure");
  }
}

}  // extern "C"
