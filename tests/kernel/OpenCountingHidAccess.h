#pragma once

#include "ForwardingHidAccess.h"

// Forwards like ForwardingHidAccess and counts what a discovery pass opens: every interface whose
// open succeeded is sorted by the attributes the pass reads next into the controller (either
// identity) and everything else.
class OpenCountingHidAccess : public ForwardingHidAccess {
public:
    using ForwardingHidAccess::ForwardingHidAccess;

    HidHandle openInterface(const HidGuid& hidClass, std::uint32_t index) override;
    bool getAttributes(HidHandle handle, HidAttributes* attributes) override;

    // Opened and found not to be the controller (or its attributes unreadable).
    int foreignOpens() const { return m_foreign_opens; }
    int controllerOpens() const { return m_controller_opens; }
    // Present but refused: INVALID_HID_HANDLE.
    int unopenable() const { return m_unopenable; }

private:
    HidHandle m_unsorted = nullptr;
    int m_foreign_opens = 0;
    int m_controller_opens = 0;
    int m_unopenable = 0;
};
