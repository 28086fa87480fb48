/*
 * olm_vout: presents planar YUV 4:2:0 pictures in a native X11 window or in a rectangle of a
 * Wayland surface.
 *
 * On X11 an output is created on a window that belongs to the caller (for example a toolkit
 * widget's native window). It covers that window with a child window of its own, follows the
 * window's size, redraws on exposure and shows every picture scaled into the rectangle that the
 * display mode gives. X coordinates are 16-bit: of a window wider or taller than 32767 pixels, the
 * output covers the top-left 32767 x 32767 and places pictures in that.
 *
 * On Wayland an output is created on the caller's own connection and surface (a toolkit window's
 * wl_display and wl_surface) and a rectangle of that surface, which it covers with subsurfaces of
 * its own: a black area and the picture inside it, scaled by the compositor. The caller tells the
 * output when the rectangle moves or changes size (olm_vout_set_video_rect).
 *
 * A picture is copied on `put`, or kept by reference until the output lets go of it
 * (olm_vout_put_picture with a release function), and drawn by a render thread of the output, so
 * `put` is cheap and never waits for the display server.
 *
 * Result codes shared by the functions that return int:
 *   OLM_VOUT_OK              0  success
 *   OLM_VOUT_E_HANDLE        1  the handle is not a live output (never created, or destroyed),
 *                               or a required pointer argument is null
 *   OLM_VOUT_E_INVALID       2  an argument is out of range (mode, size, stride); nothing changed
 *   OLM_VOUT_E_BUSY          3  every buffer of the picture pool is in use by other `put` calls
 *                               on the same output; the picture was not taken
 *   OLM_VOUT_E_NO_MEMORY     4  a picture buffer could not be allocated
 * When more than one applies, the call returns one of them, and nothing changed; callers must not
 * rely on which (this library checks put's arguments before its handle, and the handle first in
 * every other function).
 */
#ifndef OLM_VOUT_H
#define OLM_VOUT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OLM_VOUT_API __attribute__((visibility("default")))
#else
#define OLM_VOUT_API
#endif

enum {
    OLM_VOUT_OK = 0,
    OLM_VOUT_E_HANDLE = 1,
    OLM_VOUT_E_INVALID = 2,
    OLM_VOUT_E_BUSY = 3,
    OLM_VOUT_E_NO_MEMORY = 4,
};

/* Display modes: where the picture goes inside the window. The window's remaining area is
 * black in every mode but VOUT_PREFERRED. */
enum {
    VOUT_NORMAL = 0,    /* the picture's display aspect, as large as fits, centred */
    VOUT_4_3 = 1,       /* a 4:3 rectangle, as large as fits, centred */
    VOUT_16_9 = 2,      /* a 16:9 rectangle, as large as fits, centred */
    VOUT_PREFERRED = 3, /* the whole window, stretched */
};

/* Largest picture width or height that `put` accepts. */
#define OLM_VOUT_MAX_DIMENSION 16384

/* Smallest and largest picture pool depth; other values (0 included) mean the default. The
 * depth counts every picture the output holds at once: the one shown (kept for redraws), the one
 * waiting to be shown and those that puts in progress are copying or borrowing. A put is refused
 * with OLM_VOUT_E_BUSY only when every one is being filled by another put or shown; a library may
 * also never refuse. */
#define OLM_VOUT_MIN_POOL_DEPTH 2
#define OLM_VOUT_MAX_POOL_DEPTH 16
#define OLM_VOUT_DEFAULT_POOL_DEPTH 3

/* Where an output draws: the first four bytes of olm_vout_params.reserved. */
enum {
    OLM_VOUT_PLATFORM_X11 = 0,     /* a window of an X server (every reserved byte zero) */
    OLM_VOUT_PLATFORM_WAYLAND = 1, /* a rectangle of a Wayland surface (olm_vout_wayland_host) */
};

struct wl_display;
struct wl_surface;

/* The host of a Wayland output, in the reserved bytes of the creation record. */
typedef struct olm_vout_wayland_host {
    uint32_t platform;          /* OLM_VOUT_PLATFORM_WAYLAND */
    struct wl_display* display; /* the caller's connection, which the output shares */
    struct wl_surface* surface; /* the caller's surface (a toplevel's, say) the output draws in */
    int16_t x, y;               /* the rectangle the output covers, in the surface's coordinates */
    uint16_t width, height;     /* (0 x 0: nothing is shown until olm_vout_set_video_rect) */
} olm_vout_wayland_host;

/* The creation record: 40 bytes, zero-filled by the caller, read only during the call. */
typedef struct olm_vout_params {
    uint32_t window;     /* X11 window id to draw in; must not be 0 on X11, must be 0 on Wayland */
    uint32_t pool_depth; /* pictures the output may hold at once (see OLM_VOUT_*_POOL_DEPTH) */
    union {
        uint8_t reserved[32]; /* X11: must be zero; a library that knows only X11 refuses any
                                 other record, so a caller can fall back */
        olm_vout_wayland_host wayland; /* wayland.platform == OLM_VOUT_PLATFORM_WAYLAND */
    };
} olm_vout_params;

#ifdef __cplusplus
static_assert(sizeof(olm_vout_params) == 40, "olm_vout_params is 40 bytes");
static_assert(offsetof(olm_vout_params, window) == 0, "window at offset 0");
static_assert(offsetof(olm_vout_params, pool_depth) == 4, "pool_depth at offset 4");
static_assert(offsetof(olm_vout_params, reserved) == 8, "reserved at offset 8");
static_assert(sizeof(olm_vout_wayland_host) <= 32, "the Wayland host fits the reserved bytes");
#else
_Static_assert(sizeof(olm_vout_params) == 40, "olm_vout_params is 40 bytes");
_Static_assert(offsetof(olm_vout_params, window) == 0, "window at offset 0");
_Static_assert(offsetof(olm_vout_params, pool_depth) == 4, "pool_depth at offset 4");
_Static_assert(offsetof(olm_vout_params, reserved) == 8, "reserved at offset 8");
_Static_assert(sizeof(olm_vout_wayland_host) <= 32, "the Wayland host fits the reserved bytes");
#endif

/* An output. Opaque: only ever handled through a pointer. */
typedef struct olm_vout olm_vout_t;

/*
 * Creates an output on params->window, in mode VOUT_NORMAL, showing black until the first
 * picture arrives. The output opens its own connection to the X display named by $DISPLAY.
 * Where the server offers X Present (1.0 or later), each picture is drawn into a pixmap of the
 * output as soon as it arrives and presented for the display's next refresh, one per refresh at
 * most (a newer picture replaces one still waiting for its refresh); otherwise pictures are drawn
 * into the window at once. Nothing is drawn while the window is unmapped, below an unmapped
 * window (a minimised top level, say) or fully covered. Pixels travel through MIT-SHM when the
 * server offers it. In the environment, OLM_VOUT_NO_PRESENT=1 forces drawing into the window, and
 * OLM_VOUT_NO_SHM=1 plain PutImage instead of shared memory.
 *
 * Returns the new output, or NULL when params is NULL, its reserved bytes are not all zero, the
 * window id is 0, there is no X display, the id is not a window, the server refuses any of the
 * requests the output needs (its own window in the host, an input-only host, a host destroyed
 * meanwhile), or memory or threads run out. On NULL one line on standard error says why, and
 * nothing of the attempt is left (no thread, descriptor, window or memory).
 *
 * Wayland (params->wayland.platform == OLM_VOUT_PLATFORM_WAYLAND, params->window 0): the output
 * uses the caller's wl_display with an event queue of its own, read on its render thread, and
 * covers params->wayland's rectangle of the caller's surface with a subsurface showing black and
 * the picture's subsurface inside it, placed for the display mode. Sizes are decided in physical
 * pixels: the rectangle (in the surface's logical coordinates) times the scale the compositor
 * wants for the output's surfaces (wp_fractional_scale_v1 where offered, else the largest scale
 * of the wl_outputs they are on), followed when it changes. A picture larger than the size it is
 * shown at is converted to that size; a smaller one at its own size, enlarged by the compositor
 * (wp_viewporter). Without wp_viewporter (or with OLM_VOUT_NO_VIEWPORTER=1) the output converts
 * every picture to the size shown and uses an integer buffer scale. Pixels travel through wl_shm
 * buffers, each reused only once the compositor has released it; at most one picture waits for
 * the compositor's next frame. A surface for which the compositor sends no frame for a second
 * (the host minimised or unmapped) counts as hidden: nothing more is drawn until a frame comes,
 * and pictures put meanwhile count as dropped (those of that first second as the compositor
 * reports them). The subsurfaces appear once the caller commits its surface after this call (the
 * caller commits it anyway when it next draws). NULL as above, and also when display or surface
 * is NULL, window is not 0, the reserved bytes past olm_vout_wayland_host are not zero (there are
 * such bytes where pointers are 32-bit), or the compositor lacks wl_compositor, wl_subcompositor
 * or wl_shm. In the environment, OLM_VOUT_NO_PRESENTATION=1 leaves presentation feedback aside
 * (frame callbacks stand in).
 *
 * Outputs on one wl_display share what belongs to the connection (its registry and globals,
 * bound on the first create and kept until the caller disconnects), so that outputs made and
 * destroyed again and again leave nothing behind on the compositor. The caller reads its
 * connection as libwayland asks of every thread sharing one, as Qt, GTK and SDL do: it calls
 * wl_display_prepare_read (or _queue), polls, and then at once wl_display_read_events or
 * wl_display_cancel_read (or it uses wl_display_dispatch, which does so). The output's render
 * thread reads the same way, and a read that the caller has prepared holds up every reader, the
 * output's included, until the caller reads or cancels: never keep one prepared across other
 * work or across a call of this library.
 *
 * Threads: any thread. The caller keeps ownership of params.
 */
OLM_VOUT_API olm_vout_t* olm_vout_create(const olm_vout_params* params);

/*
 * Destroys *vout: stops its render thread, removes its child window and closes its connection,
 * then stores NULL into *vout with an atomic store (so another thread reading the same pointer
 * atomically sees either the old handle or NULL).
 *
 * Returns OLM_VOUT_OK, or OLM_VOUT_E_HANDLE when vout or *vout is NULL or *vout is not a live
 * output (then *vout is left alone).
 *
 * Returns within about a second even when the X server has stopped answering: the output then
 * cuts its connection instead of waiting.
 *
 * Threads: any thread, also while other threads call olm_vout_put_buffer_pool_yuv on the same
 * output; those calls then either finish normally or return OLM_VOUT_E_HANDLE. Do not destroy
 * the host window before its output: the output stops drawing when it sees the host go, but
 * destroying the output first is the clean order. On Wayland destroy makes no round trip; the
 * caller must destroy its outputs before their host surface and before it disconnects.
 */
OLM_VOUT_API int olm_vout_destroy(olm_vout_t** vout);

/*
 * Stores the output's display mode in *mode.
 *
 * Returns OLM_VOUT_OK, or OLM_VOUT_E_HANDLE when vout is not a live output or mode is NULL (then
 * *mode is not written).
 *
 * Threads: any thread.
 */
OLM_VOUT_API int olm_vout_get_display_mode(olm_vout_t* vout, int32_t* mode);

/*
 * Sets the display mode (VOUT_NORMAL .. VOUT_PREFERRED). The window is redrawn at once with the
 * last picture in the new placement, also while no new pictures arrive.
 *
 * Returns OLM_VOUT_OK, OLM_VOUT_E_HANDLE for a handle that is not a live output, or
 * OLM_VOUT_E_INVALID for an unknown mode (the mode is then unchanged).
 *
 * Threads: any thread.
 */
OLM_VOUT_API int olm_vout_set_display_mode(olm_vout_t* vout, int32_t mode);

/*
 * Hands one planar YUV 4:2:0 picture (BT.601, limited range) to the output.
 *
 * y has `height` rows of `stride` bytes; u and v have (height + 1) / 2 rows of (stride + 1) / 2
 * bytes, of which the first (width + 1) / 2 are picture. The planes are copied before the call
 * returns: they stay the caller's and may be overwritten as soon as it does. The call does not
 * wait for drawing; the newest picture wins, and a picture that was not shown yet when a newer
 * one arrives is dropped (see olm_vout_get_stats).
 *
 * Returns OLM_VOUT_OK; OLM_VOUT_E_HANDLE for a handle that is not a live output or a null plane;
 * OLM_VOUT_E_INVALID when width or height is <= 0 or above OLM_VOUT_MAX_DIMENSION, or stride <
 * width; OLM_VOUT_E_BUSY or OLM_VOUT_E_NO_MEMORY as above. On any error nothing is drawn.
 *
 * Threads: any thread, several at once, also while another thread destroys the output.
 */
OLM_VOUT_API int olm_vout_put_buffer_pool_yuv(olm_vout_t* vout, const uint8_t* y, const uint8_t* u,
                                              const uint8_t* v, int32_t stride, int32_t width,
                                              int32_t height);

/* Colour matrices and ranges of an olm_vout_picture. */
enum {
    OLM_VOUT_MATRIX_BT601 =
        0, /* SD video (ITU-R BT.601); what olm_vout_put_buffer_pool_yuv means */
    OLM_VOUT_MATRIX_BT709 = 1,  /* HD video (ITU-R BT.709) */
    OLM_VOUT_MATRIX_BT2020 = 2, /* UHD video (ITU-R BT.2020, non-constant luminance) */
    OLM_VOUT_MATRIX_SMPTE240M = 3,
};
enum {
    OLM_VOUT_RANGE_LIMITED = 0, /* Y in 16..235, U and V in 16..240 ("TV" range) */
    OLM_VOUT_RANGE_FULL = 1,    /* every sample in 0..255 ("PC" or JPEG range) */
};

/*
 * One planar YUV 4:2:0 picture that says what it is. Zero-fill it, set struct_size to
 * sizeof(olm_vout_picture) and fill what applies; the zeros mean BT.601, limited range, square
 * pixels, "copy the planes" and "not turned".
 *
 * The record grows at its end, and struct_size says which version the caller filled. The sizes a
 * library knows are those of its own header's versions:
 *   OLM_VOUT_PICTURE_SIZE_1_0  the record up to `opaque` (the first version);
 *   OLM_VOUT_PICTURE_SIZE_1_1  up to `rotation` (this version: sizeof(olm_vout_picture)).
 * A smaller known size means the fields past it are zero: a 1.0 record is a picture not turned.
 * Any other size is refused with OLM_VOUT_E_INVALID, so a program can tell a library too old for
 * its record (and, say, turn the picture itself and send the older record).
 */
typedef struct olm_vout_picture {
    uint32_t struct_size; /* OLM_VOUT_PICTURE_SIZE_1_1, or a smaller known size */
    int32_t width, height;
    const uint8_t* planes[3];      /* Y, U, V of planar 4:2:0 */
    int32_t strides[3];            /* bytes per row of each plane, any value >= its width */
    int32_t matrix;                /* OLM_VOUT_MATRIX_BT601 (0), _BT709, _BT2020, _SMPTE240M */
    int32_t range;                 /* OLM_VOUT_RANGE_LIMITED (0), _FULL */
    int32_t sar_num, sar_den;      /* sample aspect ratio; 0/0 means square */
    void (*release)(void* opaque); /* null: the planes are copied before the call returns */
    void* opaque;
    /* Since 1.1: */
    int32_t rotation; /* 0, 90, 180 or 270: degrees clockwise to turn the picture for display */
} olm_vout_picture;

#define OLM_VOUT_PICTURE_SIZE_1_0 ((uint32_t)offsetof(olm_vout_picture, rotation))
#define OLM_VOUT_PICTURE_SIZE_1_1 ((uint32_t)sizeof(olm_vout_picture))

/*
 * Hands one picture to the output, with its own colour matrix, range, sample aspect and turn.
 * The output keeps these with the picture: redraws after exposure, resizing or a mode change use
 * them too. The picture is turned `rotation` degrees clockwise for display. VOUT_NORMAL shows it
 * at its display aspect: width * sar_num : height * sar_den (a zero in either means square
 * pixels), its sides swapped when turned 90 or 270 degrees; the other modes fill their rectangle
 * with the turned picture.
 *
 * The Y plane has `height` rows of strides[0] bytes, the U and V planes (height + 1) / 2 rows of
 * strides[1] and strides[2] bytes, each row holding (width + 1) / 2 chroma samples at least.
 *
 * Ownership of the planes:
 *   - release null: the planes are copied before the call returns, as olm_vout_put_buffer_pool_yuv
 *     does, and stay the caller's.
 *   - release set: the planes are not copied (the call may only read them to make a smaller
 *     version for display). The output reads the planes until it lets go of the picture
 *     and then calls release(opaque), exactly once for every picture it accepted (returned
 *     OLM_VOUT_OK). The caller must not change or free the planes before that call. It comes from
 *     whichever thread lets go of the picture last: the output's render thread (a newer picture
 *     was shown), a later put on any thread (this picture was superseded before it was shown),
 *     the thread that destroys the output (or, when a put on another thread still holds the
 *     output at that moment, that put's thread as it returns), or this call itself before it
 *     returns, when the output keeps only a smaller version of the picture (one shown at half
 *     its size or less in the window's size and mode at the time of the call; redraws after the
 *     window grows then scale that version up until the next picture). release must be quick
 *     and must not call any function of the same output; it may call functions of other
 *     outputs. On an error result release is never called: the picture is still the caller's.
 *
 * Returns OLM_VOUT_OK; OLM_VOUT_E_HANDLE for a handle that is not a live output, a null picture
 * or a null plane; OLM_VOUT_E_INVALID when struct_size is not a size of this record that the
 * library knows (see above), width or height is <= 0 or above OLM_VOUT_MAX_DIMENSION, a stride is
 * below its plane's width, matrix or range is unknown, sar_num or sar_den is negative, or
 * rotation is not 0, 90, 180 or 270; OLM_VOUT_E_BUSY or OLM_VOUT_E_NO_MEMORY as above. On any
 * error nothing is drawn and nothing is kept.
 *
 * Threads: any thread, several at once, also while another thread destroys the output.
 *
 * Programs that must also run with an olm_vout that lacks this function look it up at run time
 * (dlsym) and fall back to olm_vout_put_buffer_pool_yuv.
 */
OLM_VOUT_API int olm_vout_put_picture(olm_vout_t* vout, const olm_vout_picture* picture);

/* Counters of an output since its creation. */
typedef struct olm_vout_stats {
    uint64_t put;       /* pictures accepted by olm_vout_put_buffer_pool_yuv or _put_picture */
    uint64_t presented; /* pictures that reached the window (redraws of the same picture not
                           counted): on the Present path, those the server reported complete */
    uint64_t dropped;   /* pictures superseded by a newer one before they were shown, or never
                           shown (window gone, hidden as olm_vout_create says, or the server
                           did not answer within a second) */
} olm_vout_stats;

/*
 * Stores the output's counters in *stats. Meant for tests and benchmarks. At any moment
 * put = presented + dropped + pending, pending being the pictures still waiting for their turn
 * or on their way to the screen (at most a few); once the output is idle, pending is 0.
 *
 * Returns OLM_VOUT_OK, or OLM_VOUT_E_HANDLE when vout is not a live output or stats is NULL.
 *
 * Threads: any thread.
 */
OLM_VOUT_API int olm_vout_get_stats(olm_vout_t* vout, olm_vout_stats* stats);

/* How pictures reach the screen. */
enum {
    OLM_VOUT_PATH_PUT_IMAGE = 0, /* drawn into the window as soon as they are taken (MIT-SHM or
                                    plain PutImage); "on screen" means the server has finished */
    OLM_VOUT_PATH_PRESENT = 1, /* X Present: one picture per refresh, from pixmaps of the output */
    OLM_VOUT_PATH_WAYLAND_PRESENTATION = 2, /* Wayland, the compositor's presentation feedback
                                               (wp_presentation) says when each reached the
                                               screen */
    OLM_VOUT_PATH_WAYLAND_FRAME = 3, /* Wayland without presentation feedback: the compositor's
                                        frame callback after a picture stands in for "on screen",
                                        and refresh_period_us and missed_refreshes are 0 */
};

/* Timing of an output's presentations. The caller sets struct_size to the size of the record it
 * knows; the library fills that much (at most sizeof(olm_vout_timing) of this version). Times are
 * in microseconds. */
typedef struct olm_vout_timing {
    uint32_t struct_size;       /* set by the caller: sizeof(olm_vout_timing) */
    uint32_t path;              /* OLM_VOUT_PATH_* */
    uint32_t refresh_period_us; /* measured from completion events; 0 when unknown */
    uint32_t latency_p50_us;    /* from the put call to on screen, over the last 256 pictures
                                   that reached the screen: the value at place
                                   (n - 1) * 50 / 100 (rounded down) of their n latencies
                                   sorted, counting from 0 */
    uint32_t latency_p95_us; /* likewise, at place (n - 1) * 95 / 100 */
    uint32_t latency_max_us;
    uint64_t missed_refreshes; /* refreshes pictures reached the screen after the first one
                                  following their put */
} olm_vout_timing;

/*
 * Stores the output's timing in *timing, as far as timing->struct_size reaches (it must cover at
 * least struct_size and path). Latencies cover the last 256 pictures that reached the screen (0
 * before the first); refresh_period_us and missed_refreshes are known on the Present and
 * Wayland presentation paths only (0 on the others).
 *
 * Returns OLM_VOUT_OK, OLM_VOUT_E_HANDLE when vout is not a live output or timing is NULL, or
 * OLM_VOUT_E_INVALID when struct_size is smaller than 8 (nothing written then).
 *
 * Threads: any thread.
 */
OLM_VOUT_API int olm_vout_get_timing(olm_vout_t* vout, olm_vout_timing* timing);

/* One picture that reached the screen. */
typedef struct olm_vout_presentation {
    uint64_t screen_us;  /* when, on CLOCK_MONOTONIC, in microseconds */
    uint32_t latency_us; /* from its put call */
    uint32_t refresh;    /* the display's refresh counter (low 32 bits) on the Present path
                            and on the Wayland presentation path (0 there when the compositor
                            counts no refreshes, as a headless output); 0 on the others */
} olm_vout_presentation;

/*
 * Copies the most recent presentations (the output keeps the last 256), oldest first, into
 * records[0 .. capacity), and stores how many it wrote in *count. For plotting and benchmarks.
 *
 * Returns OLM_VOUT_OK, or OLM_VOUT_E_HANDLE when vout is not a live output or records or count is
 * NULL.
 *
 * Threads: any thread.
 */
OLM_VOUT_API int olm_vout_get_presentations(olm_vout_t* vout, olm_vout_presentation* records,
                                            uint32_t capacity, uint32_t* count);

/*
 * Moves and resizes the rectangle a Wayland output covers in its host surface (the caller's
 * layout changed: a resize, a maximised window). The picture is placed in the new rectangle for
 * the display mode and redrawn. The new place and size, and the picture's, show together in one
 * step with the caller's next commit of its surface, which it does anyway when it draws the new
 * layout (commit after this call); until then the old layout stays on screen whole, and pictures
 * put meanwhile wait for that commit too. A rectangle of 0 x 0 shows nothing. The same rectangle
 * again changes nothing.
 *
 * Returns OLM_VOUT_OK, OLM_VOUT_E_HANDLE when vout is not a live output, or OLM_VOUT_E_INVALID
 * for a negative width or height, a rectangle beyond 32767 in any direction, or an X11 output
 * (which follows its window by itself).
 *
 * Threads: any thread.
 *
 * Programs that must also run with an olm_vout that lacks Wayland look this function up at run
 * time (dlsym); create refuses their Wayland record with NULL. A library that knows only X11
 * does not export this function: programs (the bench among them) take its presence as the sign
 * that create takes the Wayland record.
 */
OLM_VOUT_API int olm_vout_set_video_rect(olm_vout_t* vout, int32_t x, int32_t y, int32_t width,
                                         int32_t height);

#ifdef __cplusplus
}
#endif

#endif /* OLM_VOUT_H */
