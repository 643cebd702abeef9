/* Images to and from the camera's flash: firmware upgrades, calibration data written to the
 * camera, and stored data read back into a file. Everything travels as "actions" on vendor
 * command type 0xCC; each action number is the command value, and each phase of an action is
 * confirmed by the camera's status poll.
 *
 * Writing: the camera is told the image's type, version and size, erases its flash, then takes
 * the image in chunks of at most 1018 bytes, each with a CRC-16/XMODEM and acknowledged with the
 * index of the chunk it expects next. Reading: the camera reports the stored size and hands the
 * data out in pieces of at most 450 bytes, in order.
 *
 * Thread context: every function runs the whole exchange on the calling thread and returns when
 * it is over. None is reentrant for the same camera: only one command may be in flight per
 * camera, so nothing else may use the camera meanwhile (the tarvo_dev_t functions mark the
 * handle busy for the duration). Different cameras may be used from different threads.
 *
 * Results: the tarvo_ functions return 1 on success and -1 on failure; the al_ functions return
 * 1 on success and 0 (or -1 where stated) on failure. Every failure writes a log line. */
#ifndef TARVO_TRANSFER_H
#define TARVO_TRANSFER_H

#include <stdint.h>

#include <tarvo/dev.h>
#include <tarvo/export.h>
#include <tarvo/ll.h>

TARVO_BEGIN_DECLS

/* Size of the data information record of action 0. */
#define AL_DATA_INFO_SIZE 16
/* Size of the camera's acknowledgement (action 4). */
#define AL_DATA_ACK_SIZE 13
/* Size of the answer of action 5. */
#define AL_DATA_ACTION5_SIZE 9
/* Largest chunk of an image sent to the camera in one action 6. */
#define AL_DATA_CHUNK_SIZE 1018
/* Largest piece of stored data fetched in one action 17. */
#define AL_DATA_PIECE_SIZE 450
/* Stored size reported when the camera holds no valid data of a type. */
#define AL_DATA_SIZE_NONE 0xFFFFFFFFu
/* Largest image the library sends or reads (64 MiB); larger sizes are refused. */
#define AL_DATA_MAX_IMAGE_SIZE (64u * 1024u * 1024u)

/* Data information record of action 0, in its wire layout (16 bytes, no padding; the fields are
 * little-endian on the wire, so on a big-endian host they must be swapped by the caller). */
typedef struct al_data_info {
    uint8_t type;       /* in the request the type asked about, in the answer the type described */
    uint8_t reserved0;  /* 0 */
    uint16_t version;   /* stored version */
    uint32_t size;      /* stored size in bytes; AL_DATA_SIZE_NONE: nothing valid stored */
    uint32_t addr;      /* flash address of the data */
    uint32_t reserved1; /* 0 */
} al_data_info_t;

/* Sends the image in file_name to the camera as data of `type` and `version`; `reserved` is
 * ignored. The version the camera reports for its stored image of `type` must be older than
 * `version` (ours: the query names the image's own type, so each type is checked against its
 * own record, not against the firmware's).
 * After a completed transfer of type 0 or 1 the camera is reset and the call waits 20 s; after
 * type 2 or 3 it waits 7 s, while the camera stores the image; other types return at once.
 * Result 1 after a completed transfer; -1 when the file cannot be used (missing, not a regular
 * file, empty, larger than AL_DATA_MAX_IMAGE_SIZE, short read), when the camera's version is not
 * older, or when the camera fails or answers out of turn at any step (no reset and no wait
 * then). Not reentrant for the same record. */
TARVO_API int tarvo_bin_data_write(tarvo_ll_dev_t *dev, uint8_t type, uint16_t version,
                                   int reserved, const char *file_name);

/* tarvo_bin_data_write on an open handle, marked busy meanwhile. -1 with "Wrong params" for a
 * null or unopened handle. */
TARVO_API int tarvo_data_download(tarvo_dev_t *dev, const char *file_name, uint8_t type,
                                  uint16_t version, int reserved);

/* tarvo_bin_data_write(dev, type, version, 0, file_name) on an open handle, marked busy
 * meanwhile. -1 with "Wrong params" for a null or unopened handle. */
TARVO_API int tarvo_firmware_upgrade(tarvo_dev_t *dev, uint8_t type, uint16_t version,
                                     const char *file_name);

/* Reads the stored data of `type` into the file at `path` ("calib.bin" in the current directory
 * when null). The data is written to a temporary file beside it, which replaces `path` only
 * when every piece has arrived: a failed read leaves no partial file, and a file that existed
 * before is left as it was. A stored size of 0 gives an empty file. Result 1 when the file was
 * written; -1 when the camera holds no valid data of the type (no file is created), when the
 * information query or any piece fails, or when the file cannot be written. Not reentrant for
 * the same record. */
TARVO_API int tarvo_bin_data_read(tarvo_ll_dev_t *dev, uint8_t type, const char *path);

/* tarvo_bin_data_read on an open handle, marked busy meanwhile. -1 with "Wrong params" for a
 * null or unopened handle. */
TARVO_API int tarvo_data_upload(tarvo_dev_t *dev, uint8_t type, const char *path);

/* Action 0 (with command value `value`): sends the first `size` bytes of `record` and reads
 * `size` bytes of answer back into it; with value 0 and size AL_DATA_INFO_SIZE the record is an
 * al_data_info_t. Result 1, or 0 when a phase fails or the arguments are unusable. */
TARVO_API int al_get_data_info(tarvo_ll_dev_t *dev, uint16_t value, void *record, uint8_t size);

/* Reads the camera's answer to action 4 (AL_DATA_ACK_SIZE bytes: next chunk index u32, status
 * u8, 8 further bytes) or action 5 (AL_DATA_ACTION5_SIZE bytes) into `out`. Result 1 on success,
 * 0 when the request phase fails, -1 when the answer phase fails or `out` is null; `out` is
 * written only on success. Any other action returns 1 at once and transfers nothing. */
TARVO_API int al_data_read_action_info(tarvo_ll_dev_t *dev, uint8_t action, void *out);

/* CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR) of `len` bytes;
 * 0 for len 0 or null data. Reentrant. */
TARVO_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len);

/* Checks that the image file at `path` can be read in full. Result 1 with *size set to the
 * file's size; -1 when the file is missing, not a regular file, empty, larger than
 * AL_DATA_MAX_IMAGE_SIZE or reads short (*size is then 0), or when an argument is null.
 * Reentrant. */
TARVO_API int al_data_build_file_buffer(const char *path, int *size);

/* Action 17: asks for the next `length` (1 to AL_DATA_PIECE_SIZE) bytes of stored data and reads
 * them into `buf`, which must hold at least max(12, length) bytes (its first 12 bytes carry the
 * request). Result 1, or 0 when a phase fails or the arguments are unusable. */
TARVO_API int al_get_data_payload(tarvo_ll_dev_t *dev, uint8_t *buf, uint16_t length);

/* Progress of a transfer (an addition of this library). `done` bytes of `total` have been
 * sent or read; `user` is the pointer given at registration. */
typedef void (*tarvo_transfer_progress_cb_t)(uint32_t done, uint32_t total, void *user);

/* Registers the progress callback of image transfers (an addition of this library, for progress
 * bars): tarvo_bin_data_write and the functions built on it call it after every chunk the camera
 * acknowledged, tarvo_bin_data_read and tarvo_data_upload after every piece written to the
 * file, with the bytes done so far and the image's size. One callback for the whole process; NULL
 * removes it. The transfer functions keep their results and behaviour with or without one.
 *
 * Thread context: thread-safe; may be called from any thread, also while a transfer runs (the
 * change applies from the next chunk or piece). The callback runs on the thread that called the
 * transfer function, inside that call; it must not start another transfer on the same camera. */
TARVO_API void tarvo_transfer_set_progress_cb(tarvo_transfer_progress_cb_t cb, void *user);

TARVO_END_DECLS

#endif /* TARVO_TRANSFER_H */
