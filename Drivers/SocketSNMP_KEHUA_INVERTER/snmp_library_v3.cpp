// The SNMPv3 half of a session: the library's callback with its Report
// handling, engine discovery, the session's own user and engine time.
#include <cstdlib>
#include <cstring>

#include "snmp_library_exchange.h"
#include "snmp_library_session.h"

namespace inverter::snmp {

int Session::OnAnswer(int op, netsnmp_session* session, int reqid,
                      netsnmp_pdu* pdu, void* magic) {
  auto* ex = static_cast<Exchange*>(magic);
  // One request at a time per session: whatever the callback reports is
  // about it (an SNMPv3 Report may carry request id 0).
  (void)reqid;
  if (ex->done) return 1;
  if (op == NETSNMP_CALLBACK_OP_RESEND || op == NETSNMP_CALLBACK_OP_CONNECT) {
    return 1;  // a retry went out; the request goes on
  }
  // A Report below an authenticated request's level carries no digest:
  // anyone who sees the requests can send one. It is remembered for the
  // time-out's line and the request waits on for an authenticated answer
  // (0 keeps it in the library's list, whichever callback the library
  // makes first). Engine discovery is unauthenticated by design.
  if (pdu != nullptr && pdu->command == SNMP_MSG_REPORT && !ex->probe &&
      session->securityLevel >= SNMP_SEC_LEVEL_AUTHNOPRIV &&
      pdu->securityLevel < SNMP_SEC_LEVEL_AUTHNOPRIV &&
      (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE ||
       op == NETSNMP_CALLBACK_OP_SEC_ERROR)) {
    ex->unauthenticated_report = snmpv3_get_report_type(pdu);
    return 0;
  }
  // A Report that the engine's time is out of step is the library's to act
  // on: it resends with the time the Report brought, or reports OP_SEC_ERROR
  // once the retries are spent. Some builds (Debian 11's) pass it here as a
  // message first; ending the request on it would lose the resend's answer.
  if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && !ex->probe &&
      pdu != nullptr && pdu->command == SNMP_MSG_REPORT &&
      snmpv3_get_report_type(pdu) == SNMPERR_NOT_IN_TIME_WINDOW) {
    return 1;
  }
  // An SNMPv3 Report comes as a message or, when the library judged it a
  // security error, as OP_SEC_ERROR; either way it carries the PDU.
  const bool report =
      pdu != nullptr && (op == NETSNMP_CALLBACK_OP_SEC_ERROR ||
                         (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE &&
                          pdu->command == SNMP_MSG_REPORT));
  if (report && ex->probe) {
    ex->engine.assign(pdu->securityEngineID,
                      pdu->securityEngineID + pdu->securityEngineIDLen);
    ex->status = ex->engine.empty() ? STAT_ERROR : STAT_SUCCESS;
    ex->report = ex->engine.empty();
    if (ex->engine.empty()) session->s_snmp_errno = SNMPERR_BAD_SEC_NAME;
  } else if (report) {
    ex->status = STAT_ERROR;
    ex->report = true;
    // A Report names its cause. A security error of the library's own (a
    // send it could not secure) hands back the request, which has no
    // report type: the library's error says why.
    if (pdu->command == SNMP_MSG_REPORT) {
      session->s_snmp_errno = snmpv3_get_report_type(pdu);
    } else if (session->s_snmp_errno == SNMPERR_SUCCESS) {
      session->s_snmp_errno =
          snmp_errno != SNMPERR_SUCCESS ? snmp_errno : SNMPERR_USM_GENERICERROR;
    }
  } else if (op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) {
    // The library frees its own copy once this returns.
    ex->answer = snmp_clone_pdu(pdu);
    ex->status = ex->answer != nullptr ? STAT_SUCCESS : STAT_ERROR;
  } else if (op == NETSNMP_CALLBACK_OP_TIMED_OUT) {
    ex->status = STAT_TIMEOUT;
    session->s_snmp_errno = SNMPERR_TIMEOUT;
  } else {
    ex->status = STAT_ERROR;
  }
  ex->done = true;
  return 1;
}

Session::Result Session::Discover(
    std::chrono::steady_clock::time_point deadline,
    std::vector<u_char>* engine) {
  {
    LibraryCall call(own_user_);
    snmp_sess_session(handle_)->s_snmp_errno = 0;
    // What the library's own probe sends: an unauthenticated GET of no
    // object for an empty user; the agent's Report names its engine.
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_3;
    pdu->securityModel = SNMP_SEC_MODEL_USM;
    pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    pdu->securityName = strdup("");  // the library frees it with the PDU
    pdu->securityNameLen = 0;
    exchange_->probe = true;
    if (!Send(pdu)) return Result::kSendFailed;
  }
  Result result = Wait(deadline);
  if (exchange_->answer != nullptr) {  // an answer, not the Report expected
    PduPtr drop(exchange_->answer);
    exchange_->answer = nullptr;
    result = Result::kNoReport;
  }
  if (result == Result::kAnswer) *engine = exchange_->engine;
  return result;
}

void Session::UseEngine(const std::vector<u_char>& engine, EngineClock* clock) {
  clock_ = clock;
  LibraryCall call;
  netsnmp_session* s = snmp_sess_session(handle_);
  auto set = [&engine](u_char** id, size_t* len) {
    std::free(*id);  // the session's own copies, made by the library
    *id = static_cast<u_char*>(std::malloc(engine.size()));
    std::memcpy(*id, engine.data(), engine.size());
    *len = engine.size();
  };
  set(&s->securityEngineID, &s->securityEngineIDLen);
  set(&s->contextEngineID, &s->contextEngineIDLen);
  // This session's user for the engine, with the keys of its own
  // configuration (a changed passphrase takes effect at once).
  if (own_user_ == nullptr) {
    // An entry of the same engine and name left by another user of the
    // library would be taken instead of a new one: it goes first.
    if (usmUser* listed = usm_get_user(
            s->securityEngineID, s->securityEngineIDLen, s->securityName)) {
      usm_remove_user(listed);
      FreeUser(listed);
    }
    usm_create_user_from_session(s);
    own_user_ = usm_get_user(s->securityEngineID, s->securityEngineIDLen,
                             s->securityName);
    if (own_user_ != nullptr) {
      usm_remove_user(own_user_);  // the session owns it from here
      own_user_->next = own_user_->prev = nullptr;
    }
  }
}

void Session::ForgetEngineTime() {
  LibraryCall call;
  netsnmp_session* s = snmp_sess_session(handle_);
  if (s->securityEngineIDLen != 0) {
    free_enginetime(s->securityEngineID, s->securityEngineIDLen);
  }
  if (clock_ != nullptr) *clock_ = EngineClock();
}

std::string Session::UnauthenticatedReport() const {
  switch (exchange_->unauthenticated_report) {
    case 0:
      return "";
    case SNMPERR_AUTHENTICATION_FAILURE:
      return "wrong digests";
    case SNMPERR_NOT_IN_TIME_WINDOW:
      return "not in time window";
    case SNMPERR_UNKNOWN_ENG_ID:
      return "unknown engine ID";
    case SNMPERR_UNKNOWN_USER_NAME:
      return "unknown user name";
    case SNMPERR_UNSUPPORTED_SEC_LEVEL:
      return "unsupported security level";
    case SNMPERR_DECRYPTION_ERR:
      return "decryption error";
    default:
      return "other";
  }
}

}  // namespace inverter::snmp
