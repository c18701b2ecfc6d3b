#include "tests/netbios_double/scripted_netbios.h"

#include <utility>

namespace scripted_netbios {
namespace {

std::vector<NCB>& Log()
{
    static std::vector<NCB> log;
    return log;
}

Answer& CurrentAnswer()
{
    static Answer answer;
    return answer;
}

} // namespace

void Start(Answer answer)
{
    Log().clear();
    CurrentAnswer() = std::move(answer);
}

const std::vector<NCB>& Submitted()
{
    return Log();
}

Answer PerAdapter(std::function<UCHAR(int)> registration, std::function<UCHAR(int)> call)
{
    return [registration = std::move(registration), call = std::move(call)](const NCB& ncb) {
        switch (ncb.ncb_command) {
        case NCBADDGRNAME:
            return registration(ncb.ncb_lana_num);
        case NCBCALL:
            return call(ncb.ncb_lana_num);
        default:
            return UCHAR{NRC_GOODRET};
        }
    };
}

UCHAR Submit(NCB* ncb)
{
    Log().push_back(*ncb);
    const Answer& answer = CurrentAnswer();
    ncb->ncb_retcode = answer ? answer(*ncb) : NRC_GOODRET;
    ncb->ncb_cmd_cplt = ncb->ncb_retcode;
    return ncb->ncb_retcode;
}

} // namespace scripted_netbios

// The seam: the core's tests link this definition instead of the platform's.
extern "C" UCHAR Netbios(PNCB ncb)
{
    return scripted_netbios::Submit(ncb);
}
