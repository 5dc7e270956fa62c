// What a check would send, as the dry run finds it without sending anything.
#ifndef TARNWICK_CHECK_CHECK_PLAN_H_
#define TARNWICK_CHECK_CHECK_PLAN_H_

#include <string>
#include <vector>

namespace tarnwick {

struct PlannedField {
  enum class Kind {
    kText,         // value as it would be sent
    kSession,      // the session id of the check's login (CID)
    kEachElement,  // each element of the result of the check `value` names
  };
  std::string name;
  std::string value;
  Kind kind = Kind::kText;
};

// One action request of a check, or of a check it refers to.
struct PlannedRequest {
  std::string check;  // as the check directory or the referring check names it
  std::vector<PlannedField> fields;  // in the order they would be sent
  std::vector<std::string> filters;  // applied to each of its replies
  bool per_element = false;  // sent once per element of the check before it
};

// An expectation a run would judge the check's result against (--expect).
struct PlannedExpectation {
  std::string name;
  std::string text;  // as read
};

// A check's requests in the order a run sends them, the checks it refers to
// first, its own last; its filter list is that of its own request.
struct CheckPlan {
  std::vector<PlannedRequest> requests;
  std::vector<PlannedExpectation> expectations;
  // How its result would be compared with an earlier run's (--baseline):
  // "compare by key 'name'; ignore 'uptime'"; empty without --baseline.
  std::string comparison;
};

}  // namespace tarnwick

#endif  // TARNWICK_CHECK_CHECK_PLAN_H_
