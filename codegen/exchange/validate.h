#pragma once
// An independent check of a lowered phase against its problem. It trusts none
// of the scheduler's bookkeeping: every tile program is decoded again and the
// activity records are checked against the problem, against each other and
// for completeness. The first violation is reported.
#include "codegen/exchange/model.h"

namespace tessel::codegen::exchange {

// `problem` must have passed the transfer checks of pending_from_problem.
LoweringResult<void> validate_exchange_schedule(uint16_t tile_count,
                                                const ExchangeScheduleProblem& problem,
                                                const PhysicalExchangePhase& result);

}  // namespace tessel::codegen::exchange
