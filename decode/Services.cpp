#include "decode/BacnetNames.h"
#include "decode/DecodeInternal.h"

// Each service's parameters: one function per service, one table that lists
// them. The text a function returns goes after the service name in Info.

namespace velmora::dissect::internal {

namespace {

    // ---------------------------------------------------------------------------
    // Parts that several services share.

    // A constructed part decoded into a field of its own: fn(sub, csValue) reads the
    // parts under it and says what the field shows. False when fn fails.
    template <class F> bool Group(CApdu& a, const std::string& csName, F fn)
    {
        const uint32_t uAt = a.Reader().Pos();
        SField* pField = TREE_ADD(a.Out(), a.Node(), csName, "", uAt, 0);
        CApdu sub(a.Out(), a.Reader(), pField);
        std::string csValue;
        const bool bOk = fn(sub, csValue);
        a.Reader() = sub.Reader();
        if (pField) {
            pField->csValue = csValue;
            pField->uLength = a.Reader().Pos() - uAt;
        }
        return bOk;
    }

    // "analog-input,1", reading [uTag] (or the application tag when uTag is kApp).
    constexpr uint32_t kApp = 0xffffffff;
    bool Object(
        CApdu& a, uint32_t uTag, const char* szName, std::string& cs, uint32_t* pType = nullptr)
    {
        uint32_t uType, uInst;
        if (uTag == kApp ? !a.AppObjectId(szName, uType, uInst)
                         : !a.ContextObjectId(uTag, szName, uType, uInst))
            return false;
        cs = ObjectText(uType, uInst);
        if (pType)
            *pType = uType;
        return true;
    }

    // A property and its optional array index, [uTag] and [uTag + 1]: "priority-array[8]".
    bool Property(CApdu& a, uint32_t uTag, std::string& cs, SValueContext& ctx)
    {
        std::string csNum;
        uint64_t uProp, uIndex;
        if (!a.Context(uTag, kUnsigned, "Property Identifier", csNum, &uProp))
            return false;
        ctx.uProperty = static_cast<uint32_t>(uProp);
        cs = PropertyText(ctx.uProperty);
        if (a.Out().Tree())
            a.Node()->children.back().csValue = cs + " (" + csNum + ")";
        if (a.Context(uTag + 1, kUnsigned, "Property Array Index", csNum, &uIndex, true))
            cs += "[" + csNum + "]";
        return true;
    }

    // A BACnetPropertyReference inside [uTag]: "present-value".
    bool PropertyReference(CApdu& a, uint32_t uTag, std::string& cs)
    {
        if (!a.Opening(uTag, "Property Reference"))
            return false;
        return Group(a, "Property Reference", [&](CApdu& s, std::string& csField) {
            SValueContext ctx;
            if (!Property(s, 0, cs, ctx))
                return false;
            csField = cs;
            return s.Closing(uTag, "the property reference");
        });
    }

    // BACnetDateTime inside [uTag]: "2026-12-07 14:30:00.00".
    bool DateTime(CApdu& a, uint32_t uTag, const char* szName, std::string& cs)
    {
        if (!a.Opening(uTag, szName))
            return false;
        return Group(a, szName, [&](CApdu& s, std::string& csField) {
            std::string csDate, csTime;
            if (!s.AppPrimitive(kDate, "Date", csDate) || !s.AppPrimitive(kTime, "Time", csTime))
                return false;
            cs = csField = csDate + " " + csTime;
            return s.Closing(uTag, szName);
        });
    }

    // BACnetTimeStamp inside [uTag]: a time, a sequence number or a date and time.
    bool TimeStamp(CApdu& a, uint32_t uTag, const char* szName, std::string& cs)
    {
        if (!a.Opening(uTag, szName))
            return false;
        return Group(a, szName, [&](CApdu& s, std::string& csField) {
            bool bOk;
            if (s.NextIs(0))
                bOk = s.Context(0, kTime, "Time", cs);
            else if (s.NextIs(1))
                bOk = s.Context(1, kUnsigned, "Sequence Number", cs) && (cs = "#" + cs, true);
            else
                bOk = DateTime(s, 2, "Date and Time", cs);
            csField = cs;
            return bOk && s.Closing(uTag, szName);
        });
    }

    // A list of BACnetPropertyValue in [uTag]: property [0], index [1], value [2], then
    // priority [3] (or, in COV-multiple notifications, the time of change [3]). Adds
    // " present-value status-flags" to csNames and "present-value = 21.5, ..." to csValues.
    bool PropertyValues(CApdu& a, uint32_t uTag, uint32_t uObjectType, bool bTimeOfChange,
        std::string& csNames, std::string* pcsValues = nullptr)
    {
        if (!a.Opening(uTag, "List of Values"))
            return false;
        bool bFirst = true;
        while (!a.NextIsClosing(uTag)) {
            if (a.AtEnd()) {
                a.Out().Malformed("the list of values ends before its closing tag");
                return false;
            }
            const bool bOk = Group(a, "Property Value", [&](CApdu& s, std::string& csField) {
                SValueContext ctx;
                ctx.uObjectType = uObjectType;
                std::string csProp, csValue, csExtra;
                if (!Property(s, 0, csProp, ctx))
                    return false;
                csNames += " " + csProp;
                if (!s.ContextValues(2, ctx, csValue, "Value"))
                    return false;
                csField = csProp + " = " + csValue;
                if (bTimeOfChange) {
                    if (s.Context(3, kTime, "Time of Change", csExtra, nullptr, true))
                        csField += " at " + csExtra;
                } else {
                    uint64_t uPriority;
                    if (s.Context(3, kUnsigned, "Priority", csExtra, &uPriority, true)) {
                        csField += " priority " + csExtra;
                        if (uPriority < 1 || uPriority > 16)
                            s.Out().Malformed("priority " + csExtra + " outside 1-16");
                    }
                }
                if (pcsValues)
                    *pcsValues += (bFirst ? "" : ", ") + csField;
                bFirst = false;
                return true;
            });
            if (!bOk)
                return false;
        }
        return a.Closing(uTag, "the list of values");
    }

    bool ObjectPropertyRef(CApdu& a, SOut& out, std::string& cs, SValueContext& ctx)
    {
        uint32_t uType, uInst;
        if (!a.ContextObjectId(0, "Object Identifier", uType, uInst))
            return false;
        cs = " " + ObjectText(uType, uInst);
        ctx.uObjectType = uType;
        const uint32_t uPropAt = a.Reader().Pos();
        uint64_t uProp;
        if (!a.ContextUnsigned(1, "Property Identifier", uProp))
            return false;
        ctx.uProperty = static_cast<uint32_t>(uProp);
        cs += " " + PropertyText(ctx.uProperty);
        TREE_ADD(out, a.Node(), "Property Identifier",
            PropertyText(ctx.uProperty) + " (" + Num(uProp) + ")", uPropAt,
            a.Reader().Pos() - uPropAt);
        const uint32_t uIndexAt = a.Reader().Pos();
        uint64_t uIndex;
        if (a.ContextUnsigned(2, "Property Array Index", uIndex, true)) {
            cs += "[" + Num(uIndex) + "]";
            TREE_ADD(out, a.Node(), "Property Array Index", Num(uIndex), uIndexAt,
                a.Reader().Pos() - uIndexAt);
        }
        return true;
    }

    // Device instance limits of Who-Is and Who-Has: " 100-200", or nothing.
    bool Limits(CApdu& a, SOut& out, std::string& cs)
    {
        STag t;
        if (!a.PeekTag(t) || !t.bContext || t.uNumber != 0)
            return true;
        const uint32_t uAt = a.Reader().Pos();
        uint64_t uLow, uHigh;
        if (!a.ContextUnsigned(0, "Low Limit", uLow) || !a.ContextUnsigned(1, "High Limit", uHigh))
            return false;
        cs += " " + Num(uLow) + "-" + Num(uHigh);
        TREE_ADD(out, a.Node(), "Device Instance Range", Num(uLow) + "-" + Num(uHigh), uAt,
            a.Reader().Pos() - uAt);
        return true;
    }

    // ReadPropertyMultiple's request: " analog-input,1 present-value, status-flags; device,5 ...".
    std::string ReadAccessSpecs(CApdu& a, SOut& out)
    {
        std::string cs;
        while (!a.AtEnd()) {
            uint32_t uType, uInst;
            if (!a.ContextObjectId(0, "Object Identifier", uType, uInst))
                return cs;
            cs += (cs.empty() ? " " : "; ") + ObjectText(uType, uInst);
            STag t;
            if (!a.PeekTag(t) || !t.bOpening || t.uNumber != 1) {
                a.Missing("list of properties");
                return cs;
            }
            ReadTag(a.Reader(), t);
            bool bFirst = true;
            for (;;) {
                if (a.PeekTag(t) && t.bClosing && t.uNumber == 1) {
                    ReadTag(a.Reader(), t);
                    break;
                }
                if (a.AtEnd()) {
                    out.Malformed("the list of properties ends before its closing tag");
                    return cs;
                }
                std::string csProp;
                const bool bOk
                    = Group(a, "Property Reference", [&](CApdu& s, std::string& csField) {
                          SValueContext ctx;
                          if (!Property(s, 0, csProp, ctx))
                              return false;
                          csField = csProp;
                          return true;
                      });
                if (!bOk)
                    return cs;
                cs += (bFirst ? " " : ", ") + csProp;
                bFirst = false;
            }
            if (bFirst)
                out.Malformed("an empty list of properties");
        }
        if (cs.empty())
            a.Missing("Object Identifier");
        return cs;
    }

    // SubscribeCOV: " analog-input,1 lifetime 300 s", or " analog-input,1 cancel".
    std::string SubscribeCov(CApdu& a, SOut& out)
    {
        std::string cs;
        uint32_t uAt = a.Reader().Pos();
        uint64_t uProcess, uConfirmed, uLifetime;
        if (!a.ContextUnsigned(0, "Subscriber Process Identifier", uProcess))
            return cs;
        TREE_ADD(out, a.Node(), "Subscriber Process Identifier", Num(uProcess), uAt,
            a.Reader().Pos() - uAt);
        uint32_t uType, uInst;
        if (!a.ContextObjectId(1, "Monitored Object Identifier", uType, uInst))
            return cs;
        cs = " " + ObjectText(uType, uInst);
        uAt = a.Reader().Pos();
        const bool bConfirmed
            = a.ContextUnsigned(2, "Issue Confirmed Notifications", uConfirmed, true);
        if (bConfirmed)
            TREE_ADD(out, a.Node(), "Issue Confirmed Notifications", uConfirmed ? "true" : "false",
                uAt, a.Reader().Pos() - uAt);
        uAt = a.Reader().Pos();
        const bool bLifetime = a.ContextUnsigned(3, "Lifetime", uLifetime, true);
        if (bLifetime) {
            const std::string csLife = uLifetime ? Num(uLifetime) + " s" : "indefinite";
            TREE_ADD(out, a.Node(), "Lifetime", csLife, uAt, a.Reader().Pos() - uAt);
            cs += " lifetime " + csLife;
        }
        if (!bConfirmed && !bLifetime)
            cs += " cancel";
        a.ExpectEnd();
        return cs;
    }

    std::string Undecoded(CApdu& a, SOut&, bool);
    std::string ReadAccessResults(CApdu& a, SOut& out);

    using FnService = std::string (*)(CApdu& a, SOut& out, bool bAck);

    // Parameters nobody decodes yet: one field over them.
    std::string Undecoded(CApdu& a, SOut&, bool)
    {
        a.Rest("Service Parameters");
        return {};
    }

    // ---------------------------------------------------------------------------
    // Unconfirmed services.

    std::string WhoIs(CApdu& a, SOut& out, bool)
    {
        std::string cs;
        if (Limits(a, out, cs))
            a.ExpectEnd();
        return cs;
    }

    std::string IAm(CApdu& a, SOut& out, bool)
    {
        std::string cs;
        uint32_t uType, uInst;
        if (!a.AppObjectId("I-Am Device Identifier", uType, uInst))
            return cs;
        cs = " " + ObjectText(uType, uInst);
        std::string csMax, csSeg, csVendor;
        uint64_t uSeg = 0;
        if (a.AppPrimitive(kUnsigned, "Max APDU Length Accepted", csMax)
            && a.AppPrimitive(kEnumerated, "Segmentation Supported", csSeg, &uSeg)
            && a.AppPrimitive(kUnsigned, "Vendor ID", csVendor)) {
            if (out.Tree() && SegmentationName(static_cast<uint32_t>(uSeg)))
                a.Node()->children[a.Node()->children.size() - 2].csValue
                    = std::string(SegmentationName(static_cast<uint32_t>(uSeg))) + " (" + csSeg
                    + ")";
            a.ExpectEnd();
        }
        return cs;
    }

    std::string WhoHas(CApdu& a, SOut& out, bool)
    {
        std::string cs;
        if (!Limits(a, out, cs))
            return cs;
        STag t;
        if (a.PeekTag(t) && t.bContext && t.uNumber == 2) {
            uint32_t uType, uInst;
            if (a.ContextObjectId(2, "Object Identifier", uType, uInst))
                cs += " " + ObjectText(uType, uInst);
        } else if (a.PeekTag(t) && t.bContext && t.uNumber == 3) {
            CReader& r = a.Reader();
            CReader s = r;
            ReadTag(s, t);
            std::string csName;
            bool bBad = false;
            if (s.Has(t.uLength) && !t.bOpening && !t.bClosing) {
                csName = CharString(s.Here(), t.uLength, bBad);
                s.Skip(t.uLength);
            } else {
                bBad = true;
            }
            if (bBad) {
                out.Malformed("broken Object Name");
                return cs;
            }
            TREE_ADD(out, a.Node(), "Object Name", csName, t.uOffset, s.Pos() - t.uOffset);
            r = s;
            cs += " " + Shorten(csName, 48);
        } else {
            a.Missing("Object");
            return cs;
        }
        a.ExpectEnd();
        return cs;
    }

    std::string IHave(CApdu& a, SOut&, bool)
    {
        std::string cs;
        uint32_t uDevType, uDevInst, uType, uInst;
        std::string csName;
        if (a.AppObjectId("Device Identifier", uDevType, uDevInst)) {
            cs = " " + ObjectText(uDevType, uDevInst);
            if (a.AppObjectId("Object Identifier", uType, uInst)) {
                cs += " " + ObjectText(uType, uInst);
                if (a.AppPrimitive(kCharacterString, "Object Name", csName)) {
                    cs += " " + Shorten(csName, 48);
                    a.ExpectEnd();
                }
            }
        }
        return cs;
    }

    // ---------------------------------------------------------------------------
    // Confirmed services: bAck for the parameters of their ComplexACK.

    std::string ReadProperty(CApdu& a, SOut& out, bool bAck)
    {
        std::string cs;
        SValueContext ctx;
        if (!ObjectPropertyRef(a, out, cs, ctx))
            return cs;
        if (bAck) {
            std::string csValue;
            if (!a.ContextValues(3, ctx, csValue))
                return cs;
            cs += " = " + csValue;
        }
        a.ExpectEnd();
        return cs;
    }

    std::string ReadPropertyMultiple(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Shorten(ReadAccessResults(a, out), 160);
        return Shorten(ReadAccessSpecs(a, out), 120);
    }

    std::string SubscribeCovService(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Undecoded(a, out, bAck);
        return SubscribeCov(a, out);
    }

    std::string WriteProperty(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Undecoded(a, out, bAck);
        std::string cs;
        SValueContext ctx;
        if (!ObjectPropertyRef(a, out, cs, ctx))
            return cs;
        std::string csValue;
        if (!a.ContextValues(3, ctx, csValue))
            return cs;
        cs += " = " + csValue;
        const uint32_t uAt = a.Reader().Pos();
        uint64_t uPriority;
        if (a.ContextUnsigned(4, "Priority", uPriority, true)) {
            cs += " priority " + Num(uPriority);
            TREE_ADD(out, a.Node(), "Priority", Num(uPriority), uAt, a.Reader().Pos() - uAt);
            if (uPriority < 1 || uPriority > 16)
                out.Malformed("priority " + Num(uPriority) + " outside 1-16");
        }
        a.ExpectEnd();
        return cs;
    }

    // ---------------------------------------------------------------------------
    // Alarms and events, COV.

    // COV notifications: " device,1234 analog-output,1 present-value status-flags".
    std::string CovNotification(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart;
        uint32_t uType = 0;
        if (!a.Context(0, kUnsigned, "Subscriber Process Identifier", csPart)
            || !Object(a, 1, "Initiating Device Identifier", csPart))
            return cs;
        cs = " " + csPart;
        if (!Object(a, 2, "Monitored Object Identifier", csPart, &uType))
            return cs;
        cs += " " + csPart;
        std::string csLife;
        uint64_t uLife;
        if (!a.Context(3, kUnsigned, "Time Remaining", csLife, &uLife))
            return cs;
        if (a.Out().Tree())
            a.Node()->children.back().csValue = uLife ? csLife + " s" : "indefinite";
        if (PropertyValues(a, 4, uType, false, cs))
            a.ExpectEnd();
        return cs;
    }

    // Event notifications: " device,1234 analog-input,1 out-of-range alarm normal -> high-limit".
    std::string EventNotification(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart;
        if (!a.Context(0, kUnsigned, "Process Identifier", csPart)
            || !Object(a, 1, "Initiating Device Identifier", csPart))
            return cs;
        cs = " " + csPart;
        if (!Object(a, 2, "Event Object Identifier", csPart))
            return cs;
        cs += " " + csPart;
        std::string csEvent, csNotify, csFrom, csTo;
        if (!TimeStamp(a, 3, "Time Stamp", csPart)
            || !a.Context(4, kUnsigned, "Notification Class", csPart)
            || !a.Context(5, kUnsigned, "Priority", csPart)
            || !a.Context(6, kEnumerated, "Event Type", csEvent, nullptr, false, EventTypeName))
            return cs;
        cs += " " + csEvent;
        a.Context(7, kCharacterString, "Message Text", csPart, nullptr, true);
        uint64_t uNotify = 0;
        if (!a.Context(8, kEnumerated, "Notify Type", csNotify, &uNotify, false, NotifyTypeName))
            return cs;
        cs += " " + csNotify;
        a.Context(9, kBoolean, "Ack Required", csPart, nullptr, true);
        const bool bFrom
            = a.Context(10, kEnumerated, "From State", csFrom, nullptr, true, EventStateName);
        // Only an ack-notification goes without its new state.
        if (uNotify != 2 || a.NextIs(11)) {
            if (!a.Context(11, kEnumerated, "To State", csTo, nullptr, false, EventStateName))
                return cs;
            cs += bFrom ? " " + csFrom + " -> " + csTo : " " + csTo;
        }
        if (a.NextIs(12, true)) {
            std::string csValues;
            if (!a.ContextValues(12, {}, csValues, "Event Values"))
                return cs;
        }
        a.ExpectEnd();
        return cs;
    }

    // " analog-input,1 high-limit \"operator\"".
    std::string AcknowledgeAlarm(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart, csState, csSource;
        if (!a.Context(0, kUnsigned, "Acknowledging Process Identifier", csPart)
            || !Object(a, 1, "Event Object Identifier", csPart))
            return cs;
        cs = " " + csPart;
        if (!a.Context(2, kEnumerated, "Event State Acknowledged", csState, nullptr, false,
                EventStateName))
            return cs;
        cs += " " + csState;
        if (!TimeStamp(a, 3, "Time Stamp", csPart)
            || !a.Context(4, kCharacterString, "Acknowledgment Source", csSource))
            return cs;
        cs += " " + Shorten(csSource, 48);
        if (TimeStamp(a, 5, "Time of Acknowledgment", csPart))
            a.ExpectEnd();
        return cs;
    }

    // SubscribeCOVProperty: " analog-input,1 present-value lifetime 300 s" (or "cancel").
    std::string SubscribeCovProperty(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart, csProp, csLife;
        if (!a.Context(0, kUnsigned, "Subscriber Process Identifier", csPart)
            || !Object(a, 1, "Monitored Object Identifier", csPart))
            return cs;
        cs = " " + csPart;
        const bool bConfirmed
            = a.Context(2, kBoolean, "Issue Confirmed Notifications", csPart, nullptr, true);
        uint64_t uLife = 0;
        const bool bLifetime = a.Context(3, kUnsigned, "Lifetime", csLife, &uLife, true);
        if (!PropertyReference(a, 4, csProp))
            return cs;
        cs += " " + csProp;
        std::string csIncrement;
        if (a.Context(5, kReal, "COV Increment", csIncrement, nullptr, true))
            cs += " increment " + csIncrement;
        if (bLifetime)
            cs += " lifetime " + (uLife ? csLife + " s" : std::string("indefinite"));
        if (!bConfirmed && !bLifetime)
            cs += " cancel";
        a.ExpectEnd();
        return cs;
    }

    // " analog-input,1 present-value, status-flags; analog-input,2 present-value lifetime 60 s".
    std::string SubscribeCovPropertyMultiple(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart, csLife;
        if (!a.Context(0, kUnsigned, "Subscriber Process Identifier", csPart))
            return cs;
        const bool bConfirmed
            = a.Context(1, kBoolean, "Issue Confirmed Notifications", csPart, nullptr, true);
        uint64_t uLife = 0;
        const bool bLifetime = a.Context(2, kUnsigned, "Lifetime", csLife, &uLife, true);
        a.Context(3, kUnsigned, "Max Notification Delay", csPart, nullptr, true);
        if (!a.Opening(4, "List of Subscriptions"))
            return cs;
        std::string csList;
        while (!a.NextIsClosing(4)) {
            if (a.AtEnd()) {
                a.Out().Malformed("the list of subscriptions ends before its closing tag");
                return cs + Shorten(csList, 160);
            }
            std::string csOne;
            const bool bOk = Group(a, "Subscription", [&](CApdu& s, std::string& csField) {
                if (!Object(s, 0, "Monitored Object Identifier", csField))
                    return false;
                if (!s.Opening(1, "List of References"))
                    return false;
                bool bFirst = true;
                while (!s.NextIsClosing(1)) {
                    if (s.AtEnd()) {
                        s.Out().Malformed("the list of references ends before its closing tag");
                        return false;
                    }
                    std::string csProp;
                    if (!PropertyReference(s, 0, csProp))
                        return false;
                    s.Context(1, kReal, "COV Increment", csPart, nullptr, true);
                    if (!s.Context(2, kBoolean, "Timestamped", csPart))
                        return false;
                    csField += (bFirst ? " " : ", ") + csProp;
                    bFirst = false;
                }
                csOne = csField;
                return s.Closing(1, "the list of references");
            });
            csList += (csList.empty() ? " " : "; ") + csOne;
            if (!bOk)
                return cs + Shorten(csList, 160);
        }
        if (!a.Closing(4, "the list of subscriptions"))
            return cs;
        cs += Shorten(csList, 160);
        if (bLifetime)
            cs += " lifetime " + (uLife ? csLife + " s" : std::string("indefinite"));
        if (!bConfirmed && !bLifetime)
            cs += " cancel";
        a.ExpectEnd();
        return cs;
    }

    // COV-multiple notifications: " device,1234 analog-input,1 present-value; analog-input,2 ...".
    std::string CovNotificationMultiple(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart;
        if (!a.Context(0, kUnsigned, "Subscriber Process Identifier", csPart)
            || !Object(a, 1, "Initiating Device Identifier", csPart))
            return cs;
        cs = " " + csPart;
        if (!a.Context(2, kUnsigned, "Time Remaining", csPart))
            return cs;
        if (a.NextIs(3, true) && !DateTime(a, 3, "Time Stamp", csPart))
            return cs;
        if (!a.Opening(4, "List of Notifications"))
            return cs;
        std::string csList;
        while (!a.NextIsClosing(4)) {
            if (a.AtEnd()) {
                a.Out().Malformed("the list of notifications ends before its closing tag");
                return cs + Shorten(csList, 160);
            }
            std::string csOne;
            const bool bOk = Group(a, "Notification", [&](CApdu& s, std::string& csField) {
                uint32_t uType = 0;
                if (!Object(s, 0, "Monitored Object Identifier", csOne, &uType))
                    return false;
                const bool bValues = PropertyValues(s, 1, uType, true, csOne);
                csField = csOne;
                return bValues;
            });
            csList += (csList.empty() ? " " : "; ") + csOne;
            if (!bOk)
                return cs + Shorten(csList, 160);
        }
        if (a.Closing(4, "the list of notifications"))
            a.ExpectEnd();
        return cs + Shorten(csList, 160);
    }

    // ---------------------------------------------------------------------------
    // Files and objects.

    // The stream or record part of the file services, [0] or [1]:
    // " stream from 0, 512 octets" / " records from 3, 2 records".
    std::string FileAccess(CApdu& a, bool bRead, bool bAck)
    {
        const bool bStream = a.NextIs(0, true);
        const uint32_t uTag = bStream ? 0 : 1;
        if (!a.Opening(uTag, "Stream or Record Access"))
            return {};
        std::string cs;
        const bool bOk
            = Group(a, bStream ? "Stream Access" : "Record Access", [&](CApdu& s, std::string& f) {
                  std::string csStart, csCount;
                  if (!s.AppPrimitive(
                          kSigned, bStream ? "File Start Position" : "File Start Record", csStart))
                      return false;
                  f = (bStream ? "stream from " : "records from ") + csStart;
                  if (bStream && bRead && !bAck) {
                      if (!s.AppPrimitive(kUnsigned, "Requested Octet Count", csCount))
                          return false;
                      f += ", " + csCount + " octets";
                  } else if (bStream) {
                      STag t;
                      if (!s.PeekTag(t) || t.bContext || t.uNumber != kOctetString) {
                          s.Missing("File Data");
                          return false;
                      }
                      const uint32_t uAt = s.Reader().Pos();
                      ReadTag(s.Reader(), t);
                      if (!s.Reader().Skip(t.uLength)) {
                          s.Field("File Data", "(broken)", uAt);
                          s.Out().Malformed("broken File Data");
                          return false;
                      }
                      s.Field("File Data", Bytes(t.uLength), uAt);
                      f += ", " + Num(t.uLength) + " octets";
                  } else {
                      uint64_t uCount = 0;
                      const char* szCount = bRead && !bAck ? "Requested Record Count"
                          : bRead                          ? "Returned Record Count"
                                                           : "Record Count";
                      if (!s.AppPrimitive(kUnsigned, szCount, csCount, &uCount))
                          return false;
                      f += ", " + csCount + (uCount == 1 ? " record" : " records");
                      if (!bRead || bAck) {
                          for (uint64_t i = 0; i < uCount; ++i) {
                              std::string csData;
                              if (!s.AppPrimitive(kOctetString, "File Record Data", csData))
                                  return false;
                          }
                      }
                  }
                  cs = " " + f;
                  return true;
              });
        if (bOk && a.Closing(uTag, "the file access"))
            a.ExpectEnd();
        return cs;
    }

    std::string AtomicReadFile(CApdu& a, SOut&, bool bAck)
    {
        std::string cs, csEnd;
        if (bAck) {
            uint64_t uEnd = 0;
            if (!a.AppPrimitive(kBoolean, "End of File", csEnd, &uEnd))
                return cs;
            cs = FileAccess(a, true, true);
            return cs + (csEnd == "true" ? ", end of file" : "");
        }
        if (!Object(a, kApp, "File Identifier", cs))
            return {};
        return " " + cs + FileAccess(a, true, false);
    }

    std::string AtomicWriteFile(CApdu& a, SOut&, bool bAck)
    {
        std::string cs;
        if (bAck) {
            // The ACK holds where the data went: [0] a position or [1] a record.
            const bool bStream = a.NextIs(0);
            if (!a.Context(bStream ? 0 : 1, kSigned,
                    bStream ? "File Start Position" : "File Start Record", cs))
                return {};
            a.ExpectEnd();
            return (bStream ? " stream from " : " records from ") + cs;
        }
        if (!Object(a, kApp, "File Identifier", cs))
            return {};
        return " " + cs + FileAccess(a, false, false);
    }

    // CreateObject: " analog-value" or " analog-value,5", then " with object-name, ...";
    // its ACK: the new object.
    std::string CreateObject(CApdu& a, SOut&, bool bAck)
    {
        std::string cs;
        if (bAck) {
            if (Object(a, kApp, "Object Identifier", cs))
                a.ExpectEnd();
            return cs.empty() ? cs : " " + cs;
        }
        if (!a.Opening(0, "Object Specifier"))
            return cs;
        uint32_t uType = 0xffffffff;
        uint64_t uEnum = 0;
        if (a.NextIs(0)) {
            std::string csType;
            if (!a.Context(0, kEnumerated, "Object Type", csType, &uEnum, false, ObjectTypeName))
                return cs;
            uType = static_cast<uint32_t>(uEnum);
            cs = " " + csType;
        } else {
            std::string csObject;
            if (!Object(a, 1, "Object Identifier", csObject, &uType))
                return cs;
            cs = " " + csObject;
        }
        if (!a.Closing(0, "the object specifier"))
            return cs;
        if (a.NextIs(1, true)) {
            std::string csNames;
            if (!PropertyValues(a, 1, uType, false, csNames))
                return cs;
            if (!csNames.empty())
                cs += " with" + csNames;
        }
        a.ExpectEnd();
        return Shorten(cs, 160);
    }

    std::string DeleteObject(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs;
        if (Object(a, kApp, "Object Identifier", cs))
            a.ExpectEnd();
        return cs.empty() ? cs : " " + cs;
    }

    // ReadRange: " trend-log,1 log-buffer by position 1 count 10"; its ACK:
    // " trend-log,1 log-buffer 10 items".
    std::string ReadRange(CApdu& a, SOut&, bool bAck)
    {
        std::string cs, csPart;
        uint32_t uType = 0;
        SValueContext ctx;
        if (!Object(a, 0, "Object Identifier", csPart, &uType))
            return cs;
        cs = " " + csPart;
        ctx.uObjectType = uType;
        if (!Property(a, 1, csPart, ctx))
            return cs;
        cs += " " + csPart;
        if (bAck) {
            std::string csCount, csValues;
            if (!a.Context(3, kBitString, "Result Flags", csPart)
                || !a.Context(4, kUnsigned, "Item Count", csCount))
                return cs;
            cs += " " + csCount + (csCount == "1" ? " item" : " items");
            if (!a.ContextValues(5, ctx, csValues, "Item Data"))
                return cs;
            if (a.Context(6, kUnsigned, "First Sequence Number", csPart, nullptr, true))
                cs += " from #" + csPart;
            a.ExpectEnd();
            return cs;
        }
        STag t;
        if (!a.PeekTag(t) || !t.bOpening) {
            a.ExpectEnd();
            return cs;
        }
        const uint32_t uTag = t.uNumber;
        const char* szRange = uTag == 3 ? "By Position"
            : uTag == 6                 ? "By Sequence Number"
            : uTag == 7                 ? "By Time"
                                        : nullptr;
        if (!szRange) {
            a.Missing("Range");
            return cs;
        }
        if (!a.Opening(uTag, szRange))
            return cs;
        const bool bOk = Group(a, szRange, [&](CApdu& s, std::string& csField) {
            std::string csRef, csCount;
            bool bRef;
            if (uTag == 7) {
                std::string csDate, csTime;
                bRef = s.AppPrimitive(kDate, "Reference Date", csDate)
                    && s.AppPrimitive(kTime, "Reference Time", csTime);
                csRef = "by time " + csDate + " " + csTime;
            } else {
                bRef = s.AppPrimitive(
                    kUnsigned, uTag == 3 ? "Reference Index" : "Reference Sequence Number", csRef);
                csRef = (uTag == 3 ? "by position " : "by sequence ") + csRef;
            }
            if (!bRef || !s.AppPrimitive(kSigned, "Count", csCount))
                return false;
            csField = csRef + " count " + csCount;
            cs += " " + csField;
            return s.Closing(uTag, "the range");
        });
        if (bOk)
            a.ExpectEnd();
        return cs;
    }

    // " life-safety-point,1 silence" (the object is optional).
    std::string LifeSafetyOperation(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart, csOp;
        if (!a.Context(0, kUnsigned, "Requesting Process Identifier", csPart)
            || !a.Context(1, kCharacterString, "Requesting Source", csPart)
            || !a.Context(2, kEnumerated, "Request", csOp, nullptr, false, LifeSafetyOperationName))
            return cs;
        if (a.NextIs(3)) {
            if (!Object(a, 3, "Object Identifier", csPart))
                return " " + csOp;
            cs = " " + csPart;
        }
        a.ExpectEnd();
        return cs + " " + csOp;
    }

    // ---------------------------------------------------------------------------
    // Device management and messages.

    // You-Are: " device,1234 vendor 5 \"Model\" \"SN1\"" (the device identifier is optional).
    std::string YouAre(CApdu& a, SOut&, bool)
    {
        std::string csVendor, csModel, csSerial, csDevice, csMac;
        if (!a.AppPrimitive(kUnsigned, "Vendor ID", csVendor)
            || !a.AppPrimitive(kCharacterString, "Model Name", csModel)
            || !a.AppPrimitive(kCharacterString, "Serial Number", csSerial))
            return {};
        STag t;
        if (a.PeekTag(t) && !t.bContext && t.uNumber == kObjectId)
            Object(a, kApp, "Device Identifier", csDevice);
        if (a.PeekTag(t) && !t.bContext && t.uNumber == kOctetString)
            a.AppPrimitive(kOctetString, "Device MAC Address", csMac);
        a.ExpectEnd();
        return (csDevice.empty() ? "" : " " + csDevice) + " vendor " + csVendor + " "
            + Shorten(csModel, 40) + " " + Shorten(csSerial, 40);
    }

    // Text messages: " device,1234 urgent \"Fire alarm\"".
    std::string TextMessage(CApdu& a, SOut&, bool bAck)
    {
        if (bAck)
            return Undecoded(a, a.Out(), bAck);
        std::string cs, csPart, csPriority, csText;
        if (!Object(a, 0, "Text Message Source Device", csPart))
            return cs;
        cs = " " + csPart;
        if (a.NextIs(1, true)) {
            a.Opening(1, "Message Class");
            if (a.NextIs(0))
                a.Context(0, kUnsigned, "Message Class", csPart);
            else
                a.Context(1, kCharacterString, "Message Class", csPart);
            if (!a.Closing(1, "the message class"))
                return cs;
        }
        if (!a.Context(
                2, kEnumerated, "Message Priority", csPriority, nullptr, false, MessagePriorityName)
            || !a.Context(3, kCharacterString, "Message", csText))
            return cs;
        a.ExpectEnd();
        return cs + " " + csPriority + " " + Shorten(csText, 80);
    }

    // ---------------------------------------------------------------------------
    // Several properties at once.

    // ReadPropertyMultiple-ACK: " analog-input,1 present-value = 21.5, status-flags = {0000};
    // device,5 object-name (property: unknown-property)".
    std::string ReadAccessResults(CApdu& a, SOut& out)
    {
        std::string cs;
        while (!a.AtEnd()) {
            std::string csObject;
            uint32_t uType = 0;
            if (!Object(a, 0, "Object Identifier", csObject, &uType))
                return cs;
            cs += (cs.empty() ? " " : "; ") + csObject;
            if (!a.Opening(1, "List of Results"))
                return cs;
            bool bFirst = true;
            while (!a.NextIsClosing(1)) {
                if (a.AtEnd()) {
                    out.Malformed("the list of results ends before its closing tag");
                    return cs;
                }
                std::string csOne;
                const bool bOk = Group(a, "Result", [&](CApdu& s, std::string& csField) {
                    SValueContext ctx;
                    ctx.uObjectType = uType;
                    if (!Property(s, 2, csOne, ctx))
                        return false;
                    if (s.NextIs(4, true)) {
                        std::string csValue;
                        if (!s.ContextValues(4, ctx, csValue))
                            return false;
                        csOne += " = " + csValue;
                    } else {
                        if (!s.Opening(5, "Property Access Error"))
                            return false;
                        std::string csClass, csCode;
                        uint64_t uClass = 0, uCode = 0;
                        if (!s.AppPrimitive(kEnumerated, "Error Class", csClass, &uClass)
                            || !s.AppPrimitive(kEnumerated, "Error Code", csCode, &uCode))
                            return false;
                        const std::string csClassName
                            = NameOr(ErrorClassName(static_cast<uint32_t>(uClass)), "class",
                                static_cast<uint32_t>(uClass));
                        const std::string csCodeName
                            = NameOr(ErrorCodeName(static_cast<uint32_t>(uCode)), "code",
                                static_cast<uint32_t>(uCode));
                        if (s.Out().Tree()) {
                            auto& kids = s.Node()->children;
                            kids[kids.size() - 2].csValue = csClassName + " (" + csClass + ")";
                            kids.back().csValue = csCodeName + " (" + csCode + ")";
                        }
                        csOne += " (" + csClassName + ": " + csCodeName + ")";
                        if (!s.Closing(5, "the error"))
                            return false;
                    }
                    csField = csOne;
                    return true;
                });
                cs += (bFirst ? " " : ", ") + csOne;
                bFirst = false;
                if (!bOk)
                    return cs;
            }
            a.Closing(1, "the list of results");
        }
        if (cs.empty())
            a.Missing("Object Identifier");
        return cs;
    }

    // WritePropertyMultiple: " analog-value,2 present-value = 50.0 priority 8, ...; device,5 ...".
    std::string WritePropertyMultiple(CApdu& a, SOut& out, bool bAck)
    {
        if (bAck)
            return Undecoded(a, out, bAck);
        std::string cs;
        while (!a.AtEnd()) {
            std::string csObject, csNames, csValues;
            uint32_t uType = 0;
            if (!Object(a, 0, "Object Identifier", csObject, &uType))
                break;
            const bool bOk = PropertyValues(a, 1, uType, false, csNames, &csValues);
            cs += (cs.empty() ? " " : "; ") + csObject + (csValues.empty() ? "" : " " + csValues);
            if (!bOk)
                break;
            if (csNames.empty())
                out.Malformed("an empty list of values");
        }
        if (cs.empty() && !out.row.bMalformed)
            a.Missing("Object Identifier");
        return Shorten(cs, 160);
    }

    // ---------------------------------------------------------------------------
    // The services decoded in depth. Adding one: its function above, a row
    // here, and a row in the decoder's table test.

    struct SService {
        bool bConfirmed;
        uint8_t uChoice;
        FnService pfnParameters;
    };

    const SService kServices[] = {
        { false, 0, IAm }, { false, 1, IHave },
        { false, 2, CovNotification }, // unconfirmedCOVNotification
        { false, 3, EventNotification }, // unconfirmedEventNotification
        { false, 5, TextMessage }, // unconfirmedTextMessage
        { false, 7, WhoHas }, { false, 8, WhoIs },
        { false, 11, CovNotificationMultiple }, // unconfirmedCOVNotificationMultiple
        { false, 14, YouAre }, { true, 0, AcknowledgeAlarm },
        { true, 1, CovNotification }, // confirmedCOVNotification
        { true, 2, EventNotification }, // confirmedEventNotification
        { true, 5, SubscribeCovService }, { true, 6, AtomicReadFile }, { true, 7, AtomicWriteFile },
        { true, 10, CreateObject }, { true, 11, DeleteObject }, { true, 12, ReadProperty },
        { true, 14, ReadPropertyMultiple }, { true, 15, WriteProperty },
        { true, 16, WritePropertyMultiple }, { true, 19, TextMessage }, // confirmedTextMessage
        { true, 26, ReadRange }, { true, 27, LifeSafetyOperation },
        { true, 28, SubscribeCovProperty }, { true, 30, SubscribeCovPropertyMultiple },
        { true, 31, CovNotificationMultiple }, // confirmedCOVNotificationMultiple
    };

} // namespace

std::string ServiceName(bool bConfirmed, uint32_t u)
{
    const char* sz = bConfirmed ? ConfirmedServiceName(u) : UnconfirmedServiceName(u);
    return sz ? sz : (bConfirmed ? "confirmed service " : "unconfirmed service ") + Num(u);
}

std::string ServiceParameters(CApdu& a, bool bConfirmed, uint32_t uService, bool bAck)
{
    for (const SService& s : kServices)
        if (s.bConfirmed == bConfirmed && s.uChoice == uService)
            return s.pfnParameters(a, a.Out(), bAck);
    return Undecoded(a, a.Out(), bAck);
}

} // namespace velmora::dissect::internal
