#include "output_controls.h"

#include "shared_state.h"

bool createOutputOn(uint32_t nativeWindow) {
    if (currentVout())
        return true;
    olm_vout_params params{};
    params.window = nativeWindow;
    params.pool_depth = 3;
    olm_vout_t* vout = olm_vout_create(&params);
    setCurrentVout(vout);
    return vout != nullptr;
}

void destroyOutput() {
    if (currentVout())
        olm_vout_destroy(&g_vout);
}

int32_t nextDisplayMode(int32_t current) {
    switch (current) {
    case VOUT_NORMAL:
        return VOUT_PREFERRED;
    case VOUT_4_3:
        return VOUT_NORMAL;
    case VOUT_16_9:
        return VOUT_4_3;
    default:
        return VOUT_16_9;
    }
}

QString displayModeName(int32_t mode) {
    switch (mode) {
    case VOUT_NORMAL:
        return QStringLiteral("VOUT_NORMAL");
    case VOUT_4_3:
        return QStringLiteral("VOUT_4_3");
    case VOUT_16_9:
        return QStringLiteral("VOUT_16_9");
    default:
        return QStringLiteral("VOUT_PREFERRED");
    }
}

QString stepDisplayMode() {
    olm_vout_t* vout = currentVout();
    if (!vout)
        return {};
    int32_t mode = 0;
    if (olm_vout_get_display_mode(vout, &mode) == OLM_VOUT_E_HANDLE)
        return {};
    const int32_t next = nextDisplayMode(mode);
    olm_vout_set_display_mode(vout, next);
    return displayModeName(next);
}
