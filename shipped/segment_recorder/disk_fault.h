/*
 * A fault of the recordings' disk (a folder that cannot be made, a file
 * system that is full, unwritable or gone), as one state of the recorder:
 * logged once when the first camera meets it and once when the last camera
 * that met it finishes a segment again, however many cameras meet it and
 * for however long. A camera keeps the fault open from its first error until
 * it finishes a segment, so a camera still failing is never hidden by
 * another that writes.
 *
 * Writer thread only.
 */
#ifndef ORVANTIS_SHIPPED_DISK_FAULT_H
#define ORVANTIS_SHIPPED_DISK_FAULT_H

#include <stdint.h>

#define DISK_FAULT_CAMERAS 64

typedef struct DiskFault {
    uint64_t failing;           /* bit i: camera i met an error and has finished no segment since */
    unsigned long lost_before;  /* the recorder's lost packets when the fault began */
} DiskFault;

/* Camera `camera` (0 .. DISK_FAULT_CAMERAS - 1) met `error` (an AVERROR) in
 * `what` of `name`; `lost` counts the packets lost so far, before this
 * error's. Logged as "WHAT NAME: REASON" when no camera was failing. 1 when
 * the camera was not failing before (its first error of the fault). */
int disk_fault_raise(DiskFault* fault, int camera, const char* what, const char* name, int error,
                     unsigned long lost);

/* Camera `camera` finished a segment; when it was the last failing one,
 * "writing again, N packets lost meanwhile" is logged. */
void disk_fault_clear(DiskFault* fault, int camera, unsigned long lost);

#endif
