#pragma once

// The faults of the kill matrix's faulty libraries. One library is built from faulty/*.cpp; it
// wraps the real olm_vout and adds the fault its own file name names: libolm_vout_<fault>.so,
// each a link to the one library (see CMakeLists.txt). olm_vout_conform must catch each.

#include "olm_vout.h"

#include <cstdint>
#include <vector>

enum class Fault {
    None,
    // Pictures
    SwapUv,           // U and V planes swapped
    StrideIgnored,    // every stride taken as the plane's width
    MatrixIgnored,    // every picture taken as BT.601
    RangeIgnored,     // every picture taken as limited range
    SarIgnored,       // every sample taken as square
    RotationIgnored,  // put_picture's turn dropped: pictures shown as stored
    EvenSizesOnly,    // odd widths and heights lose their last column or row
    ScalingSwapsUv,   // U and V swapped in pictures not shown at their own width
    ChromaRowLate,    // each chroma row used one luma row pair late
    Blurred,          // pictures of 64x64 and more drawn from a half-size copy
    ReadsAfterReturn, // put keeps the plane pointers and copies them a little later
    // Records and arguments
    FirstRecordOnly,         // put_picture knows only the first record: a later one is refused
    FirstRecordRotation,     // a first-version record read with the rotation field after it
    RotationWrapped,         // any turn taken modulo 360
    MaximumRefused,          // the largest width and height refused
    ReservedIgnored,         // create takes a record whose reserved bytes are not zero
    PoolDepthOneRefused,     // create refuses a pool depth of 1 instead of using the default
    ModeWrapped,             // set takes any mode, modulo 4
    NullModeWritten,         // get writes the mode through a NULL pointer
    StaleHandleInvalid,      // a handle that is not live gives OLM_VOUT_E_INVALID to put
    DestroyRefusedWhileBusy, // destroy returns OLM_VOUT_E_BUSY within 50 ms of any put
    StaleHandleCrashes,      // any call with a handle it already destroyed dies with SIGSEGV
    // Modes and outputs
    WideAsFourThirds,      // VOUT_16_9 shown as VOUT_4_3, while get still says 16:9
    ModesRotated,          // each mode shown as the next one, while get says the one set
    OffsetTwoPixels,       // the real output on a child of the host, 2 pixels right and down
    PutsSwallowed,         // puts return OK and show nothing
    GetResultOne,          // get returns 1 (the bench's "stop") with the mode
    SetIgnored,            // set returns OK and changes nothing
    SecondCreateFails,     // create on a window that had an output before returns NULL
    DestroyKeepsPointer,   // destroy does not clear the caller's handle
    DestroyHangs,          // destroy of a live output never returns
    LeaksConnection,       // every create opens an X connection that is never closed
    InputOnlyParentTaken,  // create on an input-only window draws in its parent instead
    FirstDisplayKept,      // create reaches the display of the first output whatever $DISPLAY
                           // says later (unset, or naming no server)
    PutWaitsForServer,     // every put makes a round trip to the X server
    DestroyWaitsForServer, // destroy makes a round trip to the X server before it lets go
    DestroyWaitsForHost,   // destroy waits for the host window to answer before it lets go (as
                           // one taking its child out of the host first): forever once it is gone
    ThreadOutlivesDestroy, // destroy detaches the output's render thread, which still finishes
                           // its last picture (300 ms) instead of being joined
    // Release
    ReleaseDropped, // put_picture's release never called
    ReleaseTwice,   // put_picture's release called twice
    RacyRelease,    // release called twice for pictures put while another put runs
    // Pool
    DepthSixteenAsDefault, // pool_depth 16 taken as out of range: the default depth of 3
    // Figures
    StatsDroppedAsPresented, // get_stats counts dropped pictures as presented
    TimingWholeRecord,       // get_timing writes the whole record whatever struct_size says
    LatencyInMs,             // latencies reported in milliseconds
    PathMisreported,         // get_timing says OLM_VOUT_PATH_PUT_IMAGE where Present is taken
};

// The fault this library adds, from its file name; None when it names no fault.
Fault activeFault();

// A picture handed on to the real library, with planes of the fault's own where it changed
// them.
struct Planes {
    int width = 0, height = 0;
    int strides[3] = {0, 0, 0};
    const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
    std::vector<uint8_t> owned[3]; // planes made by a fault
};

// Applies the picture faults to planes shown in the window of vout (whose size some faults
// look at). True when the planes are a copy of the fault's own: a borrowed picture must then be
// copied by the real library and released at once.
bool applyPlaneFaults(olm_vout_t* vout, Planes& planes);

// The width of vout's host window as the server gives it now; 0 when unknown or gone.
int hostWidth(olm_vout_t* vout);

// Remembers vout's host window, for the faults that look at its size; forgets it for 0.
void rememberHost(olm_vout_t* vout, uint32_t window);
