#include "Verifier.h"

namespace host {

const char* ResourceKindName(ResourceKind kind)
{
    switch (kind) {
    case ResourceKind::Pool: return "pool";
    case ResourceKind::Irp: return "request";
    case ResourceKind::Mdl: return "MDL";
    case ResourceKind::WorkItem: return "work item";
    case ResourceKind::Count: break;
    }
    return "?";
}

void Verifier::FailNth(ResourceKind kind, int n)
{
    std::lock_guard<std::mutex> lk(mutex_);
    plans_[static_cast<int>(kind)].countdown = n;
}

void Verifier::FailRandomly(ResourceKind kind, double probability, uint64_t seed)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto& plan = plans_[static_cast<int>(kind)];
    plan.probability = probability;
    plan.rng.seed(seed);
}

void Verifier::FailTag(ULONG tag)
{
    std::lock_guard<std::mutex> lk(mutex_);
    failTag_ = tag;
}

void Verifier::ClearFaults()
{
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& plan : plans_) {
        plan.countdown = 0;
        plan.probability = 0.0;
    }
    failTag_ = 0;
}

bool Verifier::ShouldFail(ResourceKind kind, ULONG tag)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto& plan = plans_[static_cast<int>(kind)];
    plan.requests++;
    bool fail = false;
    if (plan.countdown > 0 && --plan.countdown == 0)
        fail = true;
    if (!fail && plan.probability > 0.0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        fail = chance(plan.rng) < plan.probability;
    }
    if (!fail && kind == ResourceKind::Pool && failTag_ != 0 && tag == failTag_)
        fail = true;
    if (fail)
        plan.injected++;
    return fail;
}

uint64_t Verifier::Requests(ResourceKind kind)
{
    std::lock_guard<std::mutex> lk(mutex_);
    return plans_[static_cast<int>(kind)].requests;
}

uint64_t Verifier::InjectedFailures(ResourceKind kind)
{
    std::lock_guard<std::mutex> lk(mutex_);
    return plans_[static_cast<int>(kind)].injected;
}

void Verifier::Report(const std::string& text)
{
    std::lock_guard<std::mutex> lk(mutex_);
    reports_.push_back(text);
}

std::vector<std::string> Verifier::Reports()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return reports_;
}

void Verifier::ClearReports()
{
    std::lock_guard<std::mutex> lk(mutex_);
    reports_.clear();
}

} // namespace host
