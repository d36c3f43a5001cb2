#pragma once

#include "WindowState.h"

#include <QString>

#include <cstdint>

// Every word that the updater window gives to assistive technology, in English. The window shows
// its state only as pictures and visible widgets; these texts say the same to a screen reader.
class AccessibleTexts {
public:
    // The title bar's text.
    static QString windowName();
    // `installedVersion` is the version word of the last info reply (0 for a blank controller).
    static QString windowDescription(WindowState state, std::uint32_t installedVersion);

    static QString updateButtonName();
    static QString updateButtonDescription();
    // The finish indicator's picture says "Up to date" both for a controller found current and for
    // one just written; its description tells the two apart.
    static QString finishName();
    static QString finishDescription(WindowState state);
    static QString progressName();
    static QString progressDescription();
    static QString logoName();
    static QString minimiseName();
    static QString minimiseDescription();
    static QString closeName();
    static QString closeDescription();

    // A version word as users read it: 0x116 is "1.16".
    static QString versionText(std::uint32_t version);
};
