// From a request to what the server does with it: answer from the cache,
// answer with an exception, or hand a job to the core and answer when it is
// done. The checks come in the protocol's order: the function (0x01), the
// unit (0x0A when nothing is mapped at it), the quantities (0x03), the
// addresses (0x02: unmapped, or written where the map does not allow it),
// then the values (0x04 when the controller refused their block, 0x0B when
// one is not fresh: never read, its card or controller not answering, or
// older than the gateway serves).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "map/gate_map.h"
#include "modbus/modbus_request.h"
#include "scan/jobs.h"
#include "scan/values.h"

namespace orvgate {

// The four tables as the server holds them for libmodbus's replies, each of
// 65536 entries; an answer fills the entries its request asks for.
struct Tables {
    std::span<std::uint8_t> coils;
    std::span<std::uint8_t> discreteInputs;
    std::span<std::uint16_t> holding;
    std::span<std::uint16_t> input;
};

struct Routed {
    enum class Kind { Reply, Exception, Queue };
    Kind kind = Kind::Exception;
    std::uint8_t exception = 0;
    std::shared_ptr<Job> job; // Queue: the work the answer waits for
};

using StatsRegisters = std::function<std::vector<std::uint16_t>()>;

class Router {
  public:
    virtual ~Router() = default;
    // Tables are filled for a Reply.
    Routed Route(const Request &request, Clock::time_point now, Tables &tables) const;
    // A job done without exception: what its answer needs in the tables.
    virtual void Complete(const Request &request, const Job &job, Tables &tables) const;

  protected:
    Router(int statsUnit, StatsRegisters stats) : statsUnit_(statsUnit), stats_(std::move(stats)) {}
    // A served, well-formed request at a unit other than the statistics'.
    virtual Routed RouteNetwork(const Request &request, Clock::time_point now, Tables &tables) const = 0;

  private:
    Routed RouteStats(const Request &request, Tables &tables) const;
    int statsUnit_;
    StatsRegisters stats_;
};

// The router of a map: reads the core's values, writes as jobs.
class MapRouter : public Router {
  public:
    MapRouter(const PointValues &values, int statsUnit, StatsRegisters stats);

  private:
    struct Slots {
        std::uint32_t first;
        std::uint32_t end; // one past the last address
        std::size_t range;
    };
    Routed RouteNetwork(const Request &request, Clock::time_point now, Tables &tables) const override;
    bool KnownUnit(int unit) const;
    const Slots *Find(int unit, Table table, std::uint32_t address) const;
    Routed Read(const Request &request, Clock::time_point now, Tables &tables) const;
    Routed Write(const Request &request) const;

    const PointValues &values_;
    std::map<std::pair<int, int>, std::vector<Slots>> index_; // (unit, table) -> ranges by address
};

Routed ExceptionOf(std::uint8_t code);

// The exception a job that did not end as done is answered with: 0x04 when
// the controller or the driver refused it, 0x0B when the card or the
// controller did not answer or it waited past its deadline, 0x02 when the
// driver refused the address.
std::uint8_t ExceptionFor(const Job &job);

} // namespace orvgate
