// SPDX-License-Identifier: Apache-2.0
// The status thread's link to the coordinator, as the status text reports it.
#pragma once

enum TCoordinatorState {
  csSearching,   // no coordinator address yet: broadcasting
  csConnecting,  // connecting to the coordinator's status port
  csReporting,   // connected, sending a report
  csReportWait,  // connected, waiting for the next report
  csRetryWait,   // the connection failed; waiting to connect again
};
