// Result codes of the migration procedures and steps.
#ifndef HV_MIGRATE_RESULT_CODES_H
#define HV_MIGRATE_RESULT_CODES_H

enum : int {
    kResultOk = 0,
    kResultFailed = 3,       // a step failed, or recording the level failed
    kResultNotPossible = 4,  // the instance cannot be worked on, or a precondition failed
    kResultFileError = 5,    // a file or directory cannot be examined, created or written
    kResultNothingToDo = 8,
};

// 0 and 8 both count as success everywhere.
inline bool IsSuccess(int code) { return code == kResultOk || code == kResultNothingToDo; }

// Gate code to procedure result: 0 stays, 1 -> 8, 2 -> 4, 4 -> 5, else 3.
inline int MapGateCode(int gate) {
    switch (gate) {
        case 0: return kResultOk;
        case 1: return kResultNothingToDo;
        case 2: return kResultNotPossible;
        case 4: return kResultFileError;
        default: return kResultFailed;
    }
}

#endif  // HV_MIGRATE_RESULT_CODES_H
