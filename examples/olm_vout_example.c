/* olm_vout from C: opens an X window, shows a moving YUV 4:2:0 pattern at 25 pictures per
 * second, steps the display mode on any key but q (the space bar, say), and ends when the window
 * is closed or q is pressed (or after the number of pictures given as its only argument). */
#define _POSIX_C_SOURCE 199309L /* nanosleep */

#include <olm_vout.h>

#include <xcb/xcb.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { WIDTH = 640, HEIGHT = 360 };

static xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
    xcb_atom_t a = r ? r->atom : XCB_ATOM_NONE;
    free(r);
    return a;
}

/* Diagonal luma bands and two colour gradients, moving with t. */
static void draw_pattern(uint8_t* y, uint8_t* u, uint8_t* v, int t) {
    for (int row = 0; row < HEIGHT; ++row)
        for (int col = 0; col < WIDTH; ++col)
            y[row * WIDTH + col] = (uint8_t)(16 + ((col + row + 4 * t) & 255) * 219 / 255);
    for (int row = 0; row < HEIGHT / 2; ++row) {
        for (int col = 0; col < WIDTH / 2; ++col) {
            u[row * (WIDTH / 2) + col] = (uint8_t)(16 + (col * 224) / (WIDTH / 2));
            v[row * (WIDTH / 2) + col] = (uint8_t)(16 + ((row + t) % (HEIGHT / 2)) * 224 / (HEIGHT / 2));
        }
    }
}

int main(int argc, char** argv) {
    const long limit = argc > 1 ? atol(argv[1]) : -1;
    xcb_connection_t* c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t window = xcb_generate_id(c);
    const uint32_t events[] = {XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, WIDTH, HEIGHT, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK, events);
    const char* title = "olm_vout example";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        (uint32_t)strlen(title), title);
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS"), close = atom(c, "WM_DELETE_WINDOW");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, protocols, XCB_ATOM_ATOM, 32, 1, &close);
    xcb_map_window(c, window);
    xcb_flush(c);

    olm_vout_params params;
    memset(&params, 0, sizeof params);
    params.window = window;
    olm_vout_t* vout = olm_vout_create(&params); /* says why on stderr when it cannot */
    if (!vout)
        return 1;

    static uint8_t y[WIDTH * HEIGHT], u[WIDTH * HEIGHT / 4], v[WIDTH * HEIGHT / 4];
    int running = 1;
    for (long t = 0; running && t != limit; ++t) {
        draw_pattern(y, u, v, (int)t);
        olm_vout_put_buffer_pool_yuv(vout, y, u, v, WIDTH, WIDTH, HEIGHT); /* copies the planes */
        xcb_generic_event_t* e;
        while ((e = xcb_poll_for_event(c))) {
            const uint8_t type = e->response_type & 0x7f;
            if (type == XCB_KEY_PRESS) {
                const uint8_t key = ((xcb_key_press_event_t*)e)->detail;
                if (key == 24) { /* q on a PC keyboard */
                    running = 0;
                } else { /* any other key: the next display mode */
                    int32_t mode = VOUT_NORMAL;
                    olm_vout_get_display_mode(vout, &mode);
                    olm_vout_set_display_mode(vout, (mode + 1) % (VOUT_PREFERRED + 1));
                }
            } else if (type == XCB_CLIENT_MESSAGE &&
                       ((xcb_client_message_event_t*)e)->data.data32[0] == close) {
                running = 0;
            }
            free(e);
        }
        const struct timespec pause = {0, 40 * 1000 * 1000}; /* 25 pictures per second */
        nanosleep(&pause, NULL);
    }
    olm_vout_destroy(&vout); /* before the window it draws in */
    xcb_destroy_window(c, window);
    xcb_disconnect(c);
    return 0;
}
