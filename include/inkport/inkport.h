/*
 * libinkport: signature pads on USB (HID and bulk-endpoint "VCOM" pads).
 *
 * Every function is callable from C. Unless stated otherwise a function
 * returns 0 on success or the handle (1..63) of an exception record that
 * describes the failure; the record can be read with the GetException*
 * functions until 63 further exceptions have overwritten it or Initialize
 * runs again.
 *
 * "Codes" below are the QLPCEC codes that GetExceptionCode reads from a
 * handle the function returned. The three the library records are
 * QLPCEC_INVALID_PARAMETER (a bad argument), QLPCEC_INVALID_HANDLE (the pad
 * cannot be made current or used) and QLPCEC_UNKNOWN (the argument checks of
 * the exception and code-name queries, and a receive thread that cannot
 * start).
 *
 * Wide strings are zero-terminated arrays of 16-bit units. Sizes given as
 * res_text_size count 16-bit units. Output buffers always belong to the
 * caller; the library never keeps a pointer to them after it returns.
 *
 * Threads and the current device
 *
 * Any function may be called from any thread; Initialize and Deinitialize
 * exclude each other. The library has one current device per process: every
 * function that takes a device number first makes that pad current (one
 * switch at a time) and then works on the current pad. Hence:
 *  - Calls on one pad from several threads are safe: each transfer holds the
 *    pad's own lock. An SSP exchange is two calls, though (SendSspMessage,
 *    then ReceiveSspMessage), and a send drops replies not yet received:
 *    threads that talk SSP to the same pad serialise their exchanges.
 *  - An application that uses several pads from several threads serialises
 *    all its calls that take a device number, for example under one mutex of
 *    its own; otherwise one thread's switch redirects another thread's call
 *    to the wrong pad.
 *  - The library's own threads (receive, callback and upload threads, and
 *    the monitor of pads that come and go) never change the current device:
 *    they address their pad directly. Only the
 *    application's calls switch, and SetDataReceivingEnabled,
 *    FlushDataPackets and the upload threads of WriteFileBuffer leave the
 *    current device as it was (WriteFileBuffer itself makes its pad current).
 *  - No call waits for a pad (an open, a retry, a transfer) while holding
 *    the lock of the device table: a slow or vanishing pad holds up only the
 *    calls on that pad and the switches to it. While Initialize searches for
 *    pads, the other calls find the library not initialised.
 *
 * Callbacks
 *
 * No callback ever runs while its thread holds a library lock: a message
 * logged under a lock reaches the logging callback once the lock is
 * released, before the call that logged it returns. So every callback may
 * call any function of the library, on every thread it runs on, with the
 * limits below.
 *
 * The data handler runs on its end point's callback thread. The
 * device-removed handler runs on the thread that met the failure: an
 * application thread inside an API call, a receive thread, a callback
 * thread (inside a call the data handler made), an upload thread of
 * WriteFileBuffer, or the monitor thread for a pad pulled. The arrived
 * handler runs on the monitor thread (see SetOnDeviceArrivedHandler). The
 * logging callback runs on the thread that logs, library threads included.
 *
 * Initialize and Deinitialize may be called from every callback on every
 * thread (application, receive, callback, upload and monitor threads), and
 * from the application while a handler on a library thread does the same:
 *  - They never wait for the thread they run on. Deinitialize from a
 *    callback on a library thread returns once every other library thread
 *    has ended; the calling thread stops its pad, lets go of the library and
 *    ends once its callback has returned (it calls nothing more of the
 *    application's). A later Initialize or Deinitialize on another thread
 *    waits for that callback to return too.
 *  - A library thread's Initialize or Deinitialize that meets another
 *    thread's Deinitialize (or Initialize) stopping the library's threads
 *    gives way to it and returns 0 at once, doing nothing: that one waits
 *    for the calling thread, and its outcome is what the two calls in either
 *    order would leave.
 * On a receive thread, stopping that thread's own receiving only asks it to
 * end (the call returns before it has) and starting it again fails. A
 * WriteFileBuffer from a callback on an upload thread fails with
 * QLPCEC_INVALID_HANDLE: one upload runs at a time.
 */
#ifndef INKPORT_INKPORT_H
#define INKPORT_INKPORT_H

#include <stdbool.h>
#include <stdint.h>

#if defined(INKPORT_BUILDING)
#define INKPORT_API __attribute__((visibility("default")))
#else
#define INKPORT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes stored as the code of an exception record. */
#define QLPCEC_SUCCESS 0
#define QLPCEC_DLL_NOT_LOADED 1
#define QLPCEC_EXCEPTION_CAUGHT 2
#define QLPCEC_INVALID_HANDLE 0x101
#define QLPCEC_INVALID_PARAMETER 0x102
#define QLPCEC_TIMEOUT 0x301
#define QLPCEC_NO_MORE_ELEMENTS 0x302
#define QLPCEC_UNKNOWN 0xFFFFFFFFu

/* Length, in units, of the library's own wide-string buffers. */
#define QLPAD_MAX_STRING_LENGTH 256

/*
 * Logging callback: user_specific as registered, and one plain message as a
 * wide string that is valid only during the call. Called on the thread that
 * logs, library worker threads included, with no library lock held: it may
 * call the library (see Callbacks above).
 */
typedef void (*InkportLoggingCallback)(void *user_specific, const uint16_t *message);

/*
 * Device-removed handler: user_specific as registered and the number of the
 * pad found gone. Called from the thread that met the failure (an application
 * thread inside an API call, or a library worker thread), once per failing
 * call, so it must tolerate repeated notices for one pad. It may call the
 * API, within the limits given under Callbacks above.
 */
typedef void (*InkportDeviceRemovedCallback)(void *user_specific, uint32_t device);

/*
 * Device-arrived handler: user_specific as registered and the number of a
 * pad that was plugged in while the library ran (see
 * SetOnDeviceArrivedHandler), or of a pad in the table (see
 * TriggerOnDeviceArrivedEvents).
 */
typedef void (*InkportDeviceArrivedCallback)(void *user_specific, uint32_t device);

/*
 * Data-received handler: user_specific as registered, the pad's number and
 * end point, and one input report. data points to 64 bytes, the report's
 * payload first and zero bytes after it; length is always 64. The buffer
 * belongs to the library and is valid only during the call. Called on the
 * end point's own callback thread, one report at a time, in the order the
 * pad sent them, with no library lock held: it may call any function,
 * Initialize and Deinitialize included (see Callbacks above).
 */
typedef void (*InkportDataReceivedCallback)(void *user_specific, uint32_t device,
                                            uint32_t end_point, const uint8_t *data,
                                            uint32_t length);

/*
 * Tears down any earlier state (exception handles, logging callback,
 * device-removed and device-arrived handlers included), searches the USB bus
 * for pads, makes pad 1 current and starts watching for pads that come and
 * go. Always 0: a failed search shows as a device count of 0.
 */
INKPORT_API uint32_t Initialize(void);

/* Stops every worker thread, waits until each has ended, frees all state. Always 0. */
INKPORT_API uint32_t Deinitialize(void);

/* True between Initialize and Deinitialize, with or without pads. */
INKPORT_API bool IsInitialized(void);

/*
 * Registers the logging callback (null switches logging off). Note the order:
 * the user pointer first. Initialize clears the registration. Always 0.
 */
INKPORT_API uint32_t RegisterLoggingCallBackProcedure(void *user_specific,
                                                      InkportLoggingCallback callback);

/*
 * Echo test: writes someText = "<text>" to res_text (at most res_text_size
 * units, terminator included when it fits) and the units written to *reply.
 * Codes: QLPCEC_INVALID_PARAMETER.
 */
INKPORT_API uint32_t SayHello(const uint16_t *text, uint16_t *res_text, int res_text_size,
                              unsigned int *reply);

/*
 * Name of a QLPCEC code ("QLPCEC_UNKNOWN" for any other value); *reply counts
 * the units written, terminator included. Codes: QLPCEC_UNKNOWN.
 */
INKPORT_API uint32_t TranslateErrorCode(unsigned int code, uint16_t *res_text, int res_text_size,
                                        unsigned int *reply);

/*
 * The four exception queries. Codes: QLPCEC_UNKNOWN, also for a handle above
 * 63 or one that holds no exception.
 */
/* The type text of an exception ("libinkport"); *reply excludes the terminator. */
INKPORT_API uint32_t GetExceptionType(unsigned int exception_handle, uint16_t *res_text,
                                      int res_text_size, unsigned int *reply);
/* The QLPCEC code of an exception. */
INKPORT_API uint32_t GetExceptionCode(unsigned int exception_handle, unsigned int *reply);
/* The name of the function that failed; *reply includes the terminator. */
INKPORT_API uint32_t GetExceptionName(unsigned int exception_handle, uint16_t *res_text,
                                      int res_text_size, unsigned int *reply);
/* The message of an exception; *reply includes the terminator. */
INKPORT_API uint32_t GetExceptionMessage(unsigned int exception_handle, uint16_t *res_text,
                                         int res_text_size, unsigned int *reply);

/*
 * Number of pads in the device table as the result (0 before Initialize),
 * which is also the highest pad number: pads plugged in later count, and a
 * pad pulled keeps its number and still counts. *reply must not be null but
 * is not written. Returns an exception handle only for a null reply, so
 * check it against the pad limit of 15.
 */
INKPORT_API uint32_t GetDeviceCount(unsigned int *reply);

/*
 * Enumeration: EnumerateDevicesStart makes pad 1 current and stores 1 in
 * *reply (0 when there is no pad; an empty table first triggers a fresh
 * search); EnumerateDevicesNext makes the next pad current and stores its
 * number, or 0 after the last. Both return 0 unless reply is null
 * (QLPCEC_INVALID_PARAMETER).
 *
 * A pad that cannot be made current (pulled, or failing to open) is passed
 * over: the enumeration goes on with the next number, so the numbers it
 * lists may have gaps. The pad passed over keeps its number and is still
 * counted by GetDeviceCount; the enumeration logs the failed switch to it,
 * and for a pad known to be gone calls the removed handler with its number,
 * as any call on it does. A failed switch, there or in any device function,
 * leaves the pad that was current before current and working.
 */
INKPORT_API uint32_t EnumerateDevicesStart(unsigned int *reply);
INKPORT_API uint32_t EnumerateDevicesNext(unsigned int *reply);

/*
 * Pad information. Each makes `device` (1..15) current first. Text results
 * are written as wide strings of at most res_text_size units; *reply counts
 * the units: GetProductName includes the terminator, GetSerialNumber and
 * GetVendorName do not. The product name keeps the trailing blank pads
 * report. Codes of these and of the getters below: QLPCEC_INVALID_PARAMETER
 * for a bad output argument, QLPCEC_INVALID_HANDLE when the pad cannot be
 * made current or the value is not available (a pad found removed too).
 */
INKPORT_API uint32_t GetSerialNumber(unsigned int device, uint16_t *res_text, int res_text_size,
                                     unsigned int *reply);
INKPORT_API uint32_t GetProductName(unsigned int device, unsigned int end_point_id,
                                    uint16_t *res_text, int res_text_size, unsigned int *reply);
INKPORT_API uint32_t GetVendorName(unsigned int device, uint16_t *res_text, int res_text_size,
                                   unsigned int *reply);
INKPORT_API uint32_t GetProductId(unsigned int device, unsigned int end_point_id,
                                  unsigned int *reply);
INKPORT_API uint32_t GetVendorId(unsigned int device, unsigned int *reply);
/* Always 0 in *reply: pads do not report it. */
INKPORT_API uint32_t GetUsbVersion(unsigned int device, unsigned int *reply);
/* Number of USB interfaces of the pad (1 plus its extra interfaces). */
INKPORT_API uint32_t GetEndPointCount(unsigned int device, unsigned int *reply);
/* Largest feature report including the report-id byte (65 for a HID pad). */
INKPORT_API uint32_t GetFeatureReportSize(unsigned int device, unsigned int end_point_id,
                                          unsigned int *reply);
/*
 * A flag (0 or 1) the library keeps per pad for the application. Codes:
 * QLPCEC_INVALID_PARAMETER (Get: null reply), QLPCEC_INVALID_HANDLE.
 */
INKPORT_API uint32_t GetUsedTransportProtocol(unsigned int device, unsigned int *reply);
INKPORT_API uint32_t SetUsedTransportProtocol(unsigned int device, unsigned int value);
/* Always 0 in *reply. Codes: QLPCEC_INVALID_PARAMETER, QLPCEC_INVALID_HANDLE. */
INKPORT_API uint32_t GetBytesToSend(unsigned int device, unsigned int *reply);

/*
 * Report calls. Byte 0 of every buffer is the report-id slot: ignored on
 * writing, set to 0 on reading; the payload follows. interface_number 0 is
 * the pad's first interface, n its n-th extra interface. On success *reply is
 * the length passed in, except that ReadFile with no input report waiting on
 * a HID pad succeeds and leaves buffer and *reply untouched. WriteFile and
 * ReadFile refuse lengths above the pad's packet size + 1.
 * SetFeature and GetFeature refuse lengths above 65536 before anything else.
 * Codes: QLPCEC_INVALID_PARAMETER for a null reply or buffer, a length of 0
 * (GetFeature: below 2) or one above those limits; QLPCEC_INVALID_HANDLE
 * when the pad cannot be made current, its packet size is unknown or the
 * transfer fails (also for an interface the pad does not have: a number at
 * or above GetEndPointCount).
 */
INKPORT_API uint32_t SetFeature(unsigned int device, unsigned int interface_number, const void *src,
                                unsigned int src_length, unsigned int *reply);
INKPORT_API uint32_t GetFeature(unsigned int device, unsigned int interface_number, void *dst,
                                unsigned int dst_length, unsigned int *reply);
INKPORT_API uint32_t WriteFile(unsigned int device, unsigned int interface_number, const void *src,
                               unsigned int src_length, unsigned int *reply);
INKPORT_API uint32_t ReadFile(unsigned int device, unsigned int interface_number, void *dst,
                              unsigned int dst_length, unsigned int *reply);

/*
 * SSP messages. src is one whole message, header included, as the pad
 * expects it; the library adds only the transport framing. ReceiveSspMessage
 * waits up to time_out ms (per read; the whole call may take longer) for the
 * pad's next reply (biodata never comes here) and copies at most dst_length
 * bytes of it to dst, the count to *reply; a longer reply is cut and its rest
 * lost. dst_length must be at least 2. A failed exchange reopens the pad.
 * Codes: QLPCEC_INVALID_PARAMETER for a null buffer or reply, or a length
 * below the minimum; QLPCEC_INVALID_HANDLE when the pad cannot be made
 * current or the exchange fails (no reply within time_out included).
 */
INKPORT_API uint32_t SendSspMessage(unsigned int device, unsigned int interface_number,
                                    const void *src, unsigned int src_length);
INKPORT_API uint32_t ReceiveSspMessage(unsigned int device, unsigned int interface_number,
                                       void *dst, unsigned int dst_length, unsigned int time_out,
                                       unsigned int *reply);

/*
 * Pads that come and go. Where libusb can watch the bus (Linux), Initialize
 * starts one library thread, the monitor, and Deinitialize ends it; it
 * sleeps until a pad of a known model is plugged in or pulled.
 *
 * A pad plugged in is described as Initialize's search describes it and
 * given a number: the number it had if it was in the table before (same
 * ids, serial number and strings), otherwise the next number after the
 * highest. The numbers of the other pads never change, and at most 15 pads
 * are numbered: a sixteenth is left out until the next Initialize. Then the
 * arrived handler is called with the number. The monitor never makes the
 * new pad current; a pad that comes back while it was the current device is
 * the current device again, opened. A switch meanwhile waits for the
 * numbering.
 *
 * A pad pulled is marked removed at once: every later call on it fails with
 * QLPCEC_INVALID_HANDLE and calls the removed handler again, as a pad found
 * gone by a call does. Its receive threads end by themselves, and the removed
 * handler is called once: by the pad's receive thread if receiving is on,
 * otherwise by the monitor (not at all when a call of the application has
 * told of the removal already). The pad keeps its number and GetDeviceCount
 * still counts it.
 *
 * The monitor calls both handlers with no library lock held. They may call
 * any function: GetDeviceCount and the information functions (calls of the
 * application's, which make the pad current as any call does: an
 * application that uses pads from several threads serialises these calls
 * with its own), and Initialize and Deinitialize too, as under Callbacks
 * above: called there, Deinitialize returns once every other library thread
 * has ended, and the monitor ends when the handler returns; meeting another
 * thread's Initialize or Deinitialize, they give way to it.
 */

/*
 * Registers the device-removed handler (null switches it off). Always 0.
 *
 * Registering (this and SetOnDeviceArrivedHandler): a handler is always
 * called with the user_specific registered together with it. Once the call
 * has returned, the handler it replaced is not called again, and no call of
 * it is still running: the call waits for those that are, so the
 * application may free what the old user_specific points to. Made from
 * inside a removed or arrived handler, or on a library thread (from the data
 * handler, say), it does not wait, since the running call may be waiting
 * for this one: a call of the old handler already under way may then still
 * be running when it returns. Do not hold a lock across the call that the
 * handler takes.
 */
INKPORT_API uint32_t SetOnDeviceRemovedHandler(void *user_specific,
                                               InkportDeviceRemovedCallback handler);

/*
 * Registers the device-arrived handler (null switches it off). Initialize
 * clears it, so register it after Initialize; pads found by Initialize are
 * not announced (see TriggerOnDeviceArrivedEvents). Runs on the monitor
 * thread. What the call promises about the handler it replaces: see
 * SetOnDeviceRemovedHandler. Always 0.
 */
INKPORT_API uint32_t SetOnDeviceArrivedHandler(void *user_specific,
                                               InkportDeviceArrivedCallback handler);

/*
 * Calls the arrived handler once for every pad in the table that is not
 * marked removed, in the order of their numbers, on the calling thread,
 * before it returns: for an application that registers after the pads were
 * found. A pad arriving meanwhile may be announced by the monitor as well,
 * on its own thread. Without a handler, or before Initialize, it calls
 * nothing. Always 0.
 */
INKPORT_API uint32_t TriggerOnDeviceArrivedEvents(void);

/*
 * Placeholder, not implemented: logs that as an error and returns 0. The
 * arguments are not used; bulk-endpoint pads are found by Initialize.
 */
INKPORT_API uint32_t AddComDevice(void *first, uint32_t value, void *second);

/*
 * Input delivery per pad and end point (0..7; a larger end point is refused
 * with QLPCEC_INVALID_PARAMETER and changes nothing). Every input report of
 * an end point with receiving enabled is queued by a library thread; a
 * second library thread hands the queued reports to the end point's handler.
 * The receive thread waits on the pad for its reports and holds no library
 * lock while it waits: features, SSP messages and output reports on the pad
 * go ahead meanwhile. A pad with nothing to send costs no error record, no
 * exception and no reopen; only a failed transfer does.
 *
 * SetOnDataReceivedHandler stores handler and user_specific and starts the
 * end point's callback thread if none runs; a second call only replaces
 * them. A null handler ends the callback thread, which then switches the
 * receiving off.
 *
 * SetDataReceivingEnabled with enabled 0 stops receiving and returns once
 * the receive thread has ended; otherwise it (re)starts receiving on the pad
 * `device` names with an empty queue and returns once the pad has been
 * asked to send. The current device stays as it was.
 *
 * GetDataPacketsAvailable stores the number of queued reports in *result;
 * before receiving was first enabled it leaves *result untouched.
 * FlushDataPackets drops the queued reports, and the pen messages the pad's
 * own exchange holds; for a number without a pad there is nothing to drop.
 *
 * Deinitialize stops all these threads and returns only after each has
 * ended; no handler runs after it returned. Called from a callback on one
 * of these threads, see Callbacks above.
 *
 * Codes of all four: QLPCEC_INVALID_PARAMETER before Initialize, for an end
 * point above 7 and for a null result; QLPCEC_INVALID_HANDLE for a device
 * above 15, and when SetDataReceivingEnabled (enabling) finds no pad at that
 * number or finds it removed. SetOnDataReceivedHandler gives
 * QLPCEC_INVALID_PARAMETER when its thread cannot start;
 * SetDataReceivingEnabled gives QLPCEC_UNKNOWN when the receive thread cannot
 * start (while Deinitialize runs, asked from that thread itself, or for an
 * end point at or above the pad's GetEndPointCount).
 */
INKPORT_API uint32_t SetOnDataReceivedHandler(unsigned int device, unsigned int end_point_id,
                                              void *user_specific,
                                              InkportDataReceivedCallback handler);
INKPORT_API uint32_t SetDataReceivingEnabled(unsigned int device, unsigned int end_point_id,
                                             uint32_t enabled);
INKPORT_API uint32_t GetDataPacketsAvailable(unsigned int device, unsigned int end_point_id,
                                             unsigned int *result);
INKPORT_API uint32_t FlushDataPackets(unsigned int device, unsigned int end_point_id);

/*
 * Bulk upload: src holds records of (packet size + 1) bytes, 65 for a HID
 * pad, each laid out like a WriteFile buffer (byte 0 the report-id slot).
 * Whole records are sent as output reports, spread over the interfaces whose
 * bit is set in end_point_id_mask (bit i: interface i), one library thread
 * per interface, all taking the next record in turn; records on different
 * interfaces may reach the pad in any order. *reply is the number of bytes
 * sent: a trailing partial record is not sent, and a record whose transfer
 * failed is lost. One upload runs at a time: a call made meanwhile fails
 * with QLPCEC_INVALID_HANDLE and sends nothing. Deinitialize stops the
 * upload threads and waits for them. Codes: QLPCEC_INVALID_PARAMETER for a
 * null reply or src or a src_length of 0; QLPCEC_INVALID_HANDLE when another
 * upload runs, the pad cannot be made current or its packet size or
 * interface count cannot be read. A record that fails to send is recorded
 * as an exception of its own (QLPCEC_INVALID_HANDLE) but not returned.
 */
INKPORT_API uint32_t WriteFileBuffer(unsigned int device, unsigned int end_point_id_mask,
                                     const void *src, unsigned int src_length, unsigned int *reply);
/* Placeholder: logs that it is not implemented and returns 0. */
INKPORT_API uint32_t ReadFileBuffer(unsigned int device, unsigned int end_point_id_mask, void *dst,
                                    unsigned int dst_length, unsigned int *reply);

/* Placeholder kept for compatibility: logs that it is not implemented. Always 0. */
INKPORT_API uint32_t LogDeviceStatistics(unsigned int device);

/* Wide-string helpers (16-bit units, converted one unit per byte). */
INKPORT_API void wbzero(uint16_t *buffer, int count);
/* Units before the terminator, at most 256. */
INKPORT_API int wstr_length(const uint16_t *text);
/* Widens count bytes of src into dst; returns count. */
INKPORT_API int astr_to_wstr(uint16_t *dst, const char *src, int count);
/* Narrows count units of src into dst (units without a byte form become 0xFF); returns count. */
INKPORT_API int wstr_to_astr(char *dst, const uint16_t *src, int count);
/* Narrows text into a buffer shared by all threads, valid until the next call. */
INKPORT_API const char *print_wchar_to_asci(const uint16_t *text);

#ifdef __cplusplus
}
#endif

#endif /* INKPORT_INKPORT_H */
