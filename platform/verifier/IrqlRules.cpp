#include "IrqlRules.h"

#include <string>

#include "../host/Machine.h"

namespace host {

namespace {

const char* LevelName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "a device IRQL";
    }
}

} // namespace

void CheckCallerIrql(IrqlRuleRef routine)
{
    const IrqlRule& rule = routine.Rule();
    PKTHREAD self = Scheduler::Current();
    if (self == nullptr || self->irql <= rule.maxIrql)
        return;
    std::string detail = std::string(rule.routine) + " called at IRQL " +
                         std::to_string(self->irql) + "; it may be called at " +
                         LevelName(rule.maxIrql) + " at most";
    if (rule.ruleCode != 0)
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, rule.ruleCode, self->irql, rule.maxIrql, 0,
                 detail + " (rule " + std::string(rule.ruleName) + ")");
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, 0, self->irql, rule.maxIrql, 0, detail);
}

} // namespace host
