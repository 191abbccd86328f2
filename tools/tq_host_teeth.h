/* The teeth borrow of the example hosts: attaching a bundle's teeth members to a
 * session, and the line that reports what the borrow did. Header-only. */
#ifndef TQ_HOST_TEETH_H
#define TQ_HOST_TEETH_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <tq/tq.h>

/* Attaches the teeth members of `bundle` (a directory or an IMX container) to the
 * session. Returns 1 when attached, 0 when the bundle neither carries a member nor
 * declares any, and -1 with the reason in why when it carries or declares some
 * that do not load or attach. */
static inline int hostAttachTeeth(tq_utt* utt, const char* bundle, char* why, int whyCap) {
  snprintf(why, (size_t)whyCap, "out of memory");
  tq_tessera_carriage* c = tq_tessera_carriage_open(bundle);
  if (!c) return -1;
  const int none = tq_tessera_carriage_missing_count(c) == tq_tessera_slot_count() && !tq_tessera_carriage_declared(c);
  tq_tessera_carriage_close(c);
  if (none) return 0;
  tq_tessera_members* m = tq_tessera_members_open(bundle, why, whyCap);
  if (!m) return -1;
  int rc = -1;
  uint8_t* bank = malloc((size_t)tq_tessera_members_band_bytes(m));
  if (bank && tq_tessera_members_read_bank(m, bank, why, whyCap) == 0)
    rc = tq_utt_tessera_attach(utt, bank, tq_tessera_members_n_donors(m), tq_tessera_members_cent(m),
                               tq_tessera_members_c_canon(m), tq_tessera_members_aperture(m),
                               tq_tessera_members_stamp(m), tq_tessera_members_head_pt(m),
                               (int)tq_tessera_members_head_pt_len(m), tq_tessera_members_head_json(m),
                               tq_tessera_members_manifest_json(m), why, whyCap) == 0
             ? 1
             : -1;
  free(bank);
  tq_tessera_members_close(m);
  return rc;
}

/* "teeth: borrowed B frames, refused R" and, when a refusal stopped the borrow,
 * "; stopped: <reason>", into line; 0 (nothing written) without a borrow. */
static inline int hostTeethReport(tq_utt* utt, char* line, size_t cap) {
  uint64_t borrowed = 0, refused = 0;
  char msg[256] = "";
  const int st = tq_utt_tessera_stats(utt, &borrowed, &refused, msg, (int)sizeof msg);
  if (st == 0) return 0;
  snprintf(line, cap, "teeth: borrowed %llu frames, refused %llu%s%s", (unsigned long long)borrowed,
           (unsigned long long)refused, st < 0 ? "; stopped: " : "", st < 0 ? msg : "");
  return 1;
}

#endif /* TQ_HOST_TEETH_H */
