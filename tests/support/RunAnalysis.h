#pragma once

#include "FlashingOrder.h"
#include "VirtualHidAccess.h"

#include <vector>

// What the bus saw of one flashing run, decoded from its trace alone: which pages the controller
// was asked to verify, and which of those got a checksum reply that matches the table. This is
// the record a run's outcome is judged against, kept apart from anything the window reports.
class RunAnalysis {
public:
    explicit RunAnalysis(const std::vector<VirtualHidAccess::Transfer>& trace);

    bool everyPageVerifiedInOrder() const
    {
        return m_verified_pages == FlashingOrder::verifiedOrder();
    }
    // The progress value the run must leave.
    int expectedProgress() const { return FlashingOrder::progressAfter(m_verified_pages); }

    int transferCount() const { return m_transfers; }
    int writeCount() const { return m_writes; }
    // 1-based numbers of the transfers that failed.
    const std::vector<int>& failedTransfers() const { return m_failed; }
    // 1-based numbers of the reads whose reply answers another report than the last one written:
    // the controller's reply repeats the command's header, which the program itself never reads.
    const std::vector<int>& repliesOutOfStep() const { return m_out_of_step; }

private:
    std::vector<int> m_verified_pages;
    std::vector<int> m_failed;
    std::vector<int> m_out_of_step;
    int m_transfers = 0;
    int m_writes = 0;
};
