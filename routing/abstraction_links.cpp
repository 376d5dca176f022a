// Every internal inflow is fed by exactly one internal abstraction of
// another subbasin, and every internal abstraction feeds an inflow.
#include "core/diag_stream.h"
#include "routing/abflussmodellklasse.h"

void abflussmodellklasse::linkFailure(int code, const std::string& text) const {
  *diag << "FATAL: \n ---> Error in connecting internal abstractions with internal inflows:\n"
        << text << "[end-entry]";
  throw code;
}

void abflussmodellklasse::linkInternalAbstractions() {
  const auto tg = [&](std::size_t e) { return std::to_string(elements[e]->getSubbasinCode()); };
  for (std::size_t e = 1; e < elements.size(); ++e) {
    const routingclass& receiver = *elements[e];
    for (int z = 1; z <= receiver.inflowCount(); ++z) {
      if (receiver.inflowModeOf(z) != 3) continue;
      const int n = receiver.inflowNumber(z);
      bool linked = false;
      for (std::size_t e2 = 1; e2 < elements.size(); ++e2) {
        const routingclass& feeder = *elements[e2];
        for (int a = 1; a <= feeder.abstractionCount(); ++a) {
          AL_class& al = feeder.abstraction(a);
          if (!al.isInternal() || feeder.abstractionLink(a) != n) continue;
          if (linked)
            linkFailure(300, "in routing description " + std::to_string(e2) + " for TG " + tg(e2) +
                                 ":\nInflow " + std::to_string(n) +
                                 " is already connected to an internal abstraction.\n"
                                 "Each abstaction (AL-element) must be conencted to exactly one "
                                 "internal inflow(ZL-element)\n");
          if (receiver.getSubbasinCode() == feeder.getSubbasinCode())
            linkFailure(301, "Abstraction AL " + std::to_string(feeder.abstractionLink(a)) +
                                 " from routing description " + std::to_string(e2) +
                                 " and inflow ZL " + std::to_string(n) +
                                 " are both defined for the same routing-subbasin TG " + tg(e) +
                                 ".\nthis is not allowed\n");
          const int tributary = receiver.firstTributaryCode();
          al.SetTargetCap(zones.indexOfCode[receiver.getSubbasinCode()],
                          tributary > 0 ? zones.indexOfCode[tributary] : 0,
                          receiver.getElementArea());
          linked = true;
          // The inflow columns carry what the feeder left in them: routed
          // before its feeder, the receiver takes the water of the step before.
          if (e2 > e)
            *diag << "WARNING: routing description " << static_cast<long>(e) << " (TG " << tg(e)
                  << ") takes its internal inflow ZL " << n << " from abstraction AL " << n
                  << " of routing description " << static_cast<long>(e2) << " (TG " << tg(e2)
                  << "), which is routed after it: the inflow carries the water the abstraction "
                     "took in the step before; list routing description "
                  << static_cast<long>(e2) << " first to deliver it in the same step"
                  << "[end-entry]";
        }
      }
      if (!linked)
        linkFailure(302, "in routing description " + std::to_string(e) + " for TG " + tg(e) +
                             ":\nInternal Inflow ZL " + std::to_string(n) +
                             " has no conenction to an internal abstraction.\n"
                             "this is not allowed\n");
    }
  }
  for (std::size_t e = 1; e < elements.size(); ++e) {
    const routingclass& element = *elements[e];
    for (int a = 1; a <= element.abstractionCount(); ++a) {
      const AL_class& al = element.abstraction(a);
      if (!al.isInternal() || al.getTargetFlag() >= 1) continue;
      linkFailure(303, "in routing description " + std::to_string(e) + " for TG " + tg(e) +
                           ":\nInternal abstraction AL " +
                           std::to_string(element.abstractionLink(a)) +
                           " is not connected to any internal inflow.\n");
    }
  }
}
