// Routes the driver core's lines into the results of the host library's
// call that made them, with their formats, as the shipped module's lines
// reach them through the logging module; while one lives.
#pragma once

namespace orvtiw::test {

class LinesIntoResults {
  public:
    LinesIntoResults();  // installs itself as the driver's err
    ~LinesIntoResults(); // restores the host binding
    LinesIntoResults(const LinesIntoResults &) = delete;
    LinesIntoResults &operator=(const LinesIntoResults &) = delete;
};

} // namespace orvtiw::test
