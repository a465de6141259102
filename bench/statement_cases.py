"""Labelled interviews for the statement rule of the traceability check ("Said in the interview, not in the
documents"): every sentence the interviewee said, by its first words, and whether it states a need, a
rule, a figure or a constraint that a requirements document should carry (True) or not (False). Labelled by
reading, before the rule was run on them; the example interview is examples/interview.md."""

from pathlib import Path

EXAMPLE = (Path(__file__).resolve().parents[1] / "examples" / "interview.md").read_text(encoding="utf-8")

EXAMPLE_LABELS = {
    "Interview held on 11 March": False,  # when and with whom: no requirement
    "Tarang Living runs managed co-living": False,
    "We operate 34 properties": True,
    "Average occupancy over the last 12 months": True,
    "A central inside-sales team of 14 people": True,
    "They work 9 am to 9 pm": True,
    "Mostly people aged 19 to 28": True,
    "Around 30% of enquiries come from parents": True,
    "About 9,000 WhatsApp enquiries a month": True,
    "In peak season (May to July)": True,
    "Answer the first message within a minute": True,
    "Then recommend up to three matching properties": True,
    "It must not negotiate price": True,
    "Of the 9,000 monthly enquiries": True,
    "We think 30% of leads go cold": True,
    "Budget within our range for that city": True,
    "English for most chats": True,
    "Customers often mix Hindi and English": True,
    "We are on the WhatsApp Business API": True,
    "Leads live in LeadSquared": True,
    "Property and room data sit in our own inventory service": True,
    "Fully furnished rooms with housekeeping": True,
    "Our Google rating is 4.4": True,
    "Live in Bengaluru before 15 May": True,
    "We have two backend developers": True,
}

CLINIC = """# Interview: Sunrise Family Clinic — appointment voice bot

**Q: Tell us about the clinic.**
We're a family-run clinic in Chennai. Three doctors see patients six days a week, and we have two
receptionists. Honestly, the phones are the part of the day everyone dreads.

**Q: What should the bot handle?**
Booking, moving and cancelling appointments by phone. It needs to confirm the patient's name and date of
birth before it changes anything. Callers must be able to reach a receptionist by saying "person" at any time.

**Q: And what must it never do?**
It must never give medical advice or talk about test results. That stays with the doctors.

**Q: How many calls do you get?**
Around 250 calls a day, more on Mondays. About 40% are about appointments.

**Q: Which systems do you use?**
Appointments live in Practo. We pay for a Exotel number already.

**Q: Languages?**
Tamil and English. Older patients mostly speak Tamil.

**Q: Anything else?**
We love the idea. Our patients are very loyal, some have come to us for twenty years.
"""

CLINIC_LABELS = {
    "We're a family-run clinic in Chennai": False,
    "Three doctors see patients six days a week": True,
    "Honestly, the phones are the part": False,
    "Booking, moving and cancelling appointments by phone": True,
    "It needs to confirm the patient's name": True,
    "Callers must be able to reach a receptionist": True,
    "It must never give medical advice": True,
    "That stays with the doctors": True,
    "Around 250 calls a day": True,
    "About 40% are about appointments": True,
    "Appointments live in Practo": True,
    "We pay for a Exotel number already": True,
    "Tamil and English": True,
    "Older patients mostly speak Tamil": True,
    "We love the idea": False,
    "Our patients are very loyal": False,
}

QUALITY = """# Interview: Vayu Telecom — call quality-control agent

**Q: What do you want the agent to do?**
Listen to every recorded support call and score it against our checklist. Today supervisors sample only
2% of calls, by hand.

**Q: What is on the checklist?**
Greeting, identity check, resolution, and the closing script. A call fails if the identity check is skipped.
Agents should also offer the satisfaction survey before they hang up.

**Q: How quickly do you need the scores?**
Within 24 hours of the call. Supervisors review the failed calls every morning.

**Q: Volumes?**
We take about 18,000 calls a day across three centres. Recordings are kept for 90 days, then deleted.

**Q: Who are the users?**
Team leads, mostly. They are busy people, so the report has to fit on one screen.

**Q: Anything we should know?**
Our last vendor did not work out. We have learned a lot since then.
"""

QUALITY_LABELS = {
    "Listen to every recorded support call": True,
    "Today supervisors sample only": True,
    "Greeting, identity check, resolution": True,
    "A call fails if the identity check is skipped": True,
    "Agents should also offer the satisfaction survey": True,
    "Within 24 hours of the call": True,
    "Supervisors review the failed calls every morning": True,
    "We take about 18,000 calls a day": True,
    "Recordings are kept for 90 days": True,
    "Team leads, mostly": False,
    "They are busy people, so the report has to fit": True,
    "Our last vendor did not work out": False,
    "We have learned a lot since then": False,
}

CASES = [("examples/interview.md", EXAMPLE, EXAMPLE_LABELS), ("clinic", CLINIC, CLINIC_LABELS),
         ("quality control", QUALITY, QUALITY_LABELS)]
