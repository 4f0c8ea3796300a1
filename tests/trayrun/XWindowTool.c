// A small X client for the tray run: what xdotool cannot do.
//   XWindowTool hash <window>     prints a hash of the window's pixels (changes when it redraws)
//   XWindowTool close <window>    asks the window to close, as a window manager's close button does
//   XWindowTool tray              exits 0 when a system tray manager owns the screen's tray selection
//   XWindowTool startup <seconds> prints each startup-notification message sent to the root window
//                                 in that time, one a line (once it has printed "listening")
#include <xcb/xcb.h>

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
    xcb_atom_t result = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return result;
}

static int hashWindow(xcb_connection_t* c, xcb_window_t window)
{
    xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), NULL);
    if (!geometry) {
        fprintf(stderr, "no such window\n");
        return 1;
    }
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width, geometry->height, ~0u), NULL);
    free(geometry);
    if (!image) {
        fprintf(stderr, "cannot read the window's pixels\n");
        return 1;
    }
    const uint8_t* data = xcb_get_image_data(image);
    const int length = xcb_get_image_data_length(image);
    uint64_t hash = 1469598103934665603ull; // FNV-1a
    for (int i = 0; i < length; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    printf("%016llx\n", (unsigned long long)hash);
    free(image);
    return 0;
}

static int closeWindow(xcb_connection_t* c, xcb_window_t window)
{
    xcb_client_message_event_t event;
    memset(&event, 0, sizeof event);
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(c, "WM_PROTOCOLS");
    event.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, (const char*)&event);
    xcb_flush(c);
    return 0;
}

static int trayPresent(xcb_connection_t* c, int screen)
{
    char name[64];
    snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", screen);
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom(c, name)), NULL);
    const int present = reply && reply->owner != XCB_WINDOW_NONE;
    free(reply);
    return present ? 0 : 1;
}

// The messages come in pieces of 20 bytes: the first of type _NET_STARTUP_INFO_BEGIN, the rest
// _NET_STARTUP_INFO, ended by a NUL.
static int startupMessages(xcb_connection_t* c, int screenNumber, int seconds)
{
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) {
        xcb_screen_next(&screens);
    }
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, screens.data->root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t begin = atom(c, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(c, "_NET_STARTUP_INFO");
    xcb_flush(c);
    printf("listening\n");
    fflush(stdout);
    char message[4096];
    size_t length = 0;
    struct pollfd fd = {xcb_get_file_descriptor(c), POLLIN, 0};
    for (int waited = 0; waited < seconds * 10;) {
        xcb_generic_event_t* event = xcb_poll_for_event(c);
        if (!event) {
            if (poll(&fd, 1, 100) == 0) {
                ++waited;
            }
            continue;
        }
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const xcb_client_message_event_t* piece = (const xcb_client_message_event_t*)event;
            if (piece->type == begin) {
                length = 0;
            }
            if (piece->type == begin || piece->type == more) {
                for (int i = 0; i < 20 && length + 1 < sizeof message; ++i) {
                    const char byte = (char)piece->data.data8[i];
                    if (byte == 0) {
                        message[length] = 0;
                        printf("%s\n", message);
                        fflush(stdout);
                        length = 0;
                        break;
                    }
                    message[length++] = byte;
                }
            }
        }
        free(event);
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s hash|close <window> | tray | startup <seconds>\n", argv[0]);
        return 2;
    }
    int screen = 0;
    xcb_connection_t* c = xcb_connect(NULL, &screen);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "cannot open the display\n");
        return 2;
    }
    int result = 2;
    if (strcmp(argv[1], "tray") == 0) {
        result = trayPresent(c, screen);
    } else if (strcmp(argv[1], "startup") == 0 && argc >= 3) {
        result = startupMessages(c, screen, atoi(argv[2]));
    } else if (argc >= 3) {
        const xcb_window_t window = (xcb_window_t)strtoul(argv[2], NULL, 0);
        if (strcmp(argv[1], "hash") == 0) {
            result = hashWindow(c, window);
        } else if (strcmp(argv[1], "close") == 0) {
            result = closeWindow(c, window);
        }
    }
    xcb_disconnect(c);
    return result;
}
