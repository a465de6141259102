"""The labelled figure cases: a document's sentence, its sources, and the figures that must be listed
under "Figures to verify" (as the check shows them: the figure with its unit, noun or period). Every
other figure of the sentence must be found. Used by test_figures.py and by bench/bench_figures.py.

A case whose label a careful reviewer would argue about is left out; a few that the rules knowingly
get wrong are kept (marked "known false alarm") so the rate stays honest.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Case:
    document: str
    sources: tuple[str, ...]
    listed: tuple[str, ...]  # the figures that must be listed
    why: str = ""


def case(document: str, sources: str | tuple[str, ...], *listed: str, why: str = "") -> Case:
    return Case(document, (sources,) if isinstance(sources, str) else sources, listed, why)


CASES = [
    # -- what the check let through as found (each listed now) ----------------------------------------
    case("Assumed 30-minute slots with a 15-minute buffer.", "About 30% of leads go cold. Live before 15 May.",
         "30-minute", "15-minute", why="a duration is not a percentage or a date"),
    case("Some first-year students may be under 18.", "18% of all enquiries book a site visit.", "18"),
    case("Evening peaks of about 60 new conversations an hour.",
         "Each one handles about 60 conversations a day per salesperson.", "60 new conversations an hour"),
    case("The on-call lead is one of the 3 nurses.", "We have 2 nurses at night. The audit was on 3 February.",
         "3 nurses"),
    case("Transcripts kept 12 months.", ("We have 12 salespeople.", "Retention: transcripts are kept 18 months."),
         "12 months"),
    case("Occupancy above 40%.", "We run 40 properties.", "40%"),
    case("Replies within 100ms.", "The hostel has 100 beds.", "100ms"),
    case("Built for 1m users.", "Live on 1 June.", "1m users"),
    # -- never checked before: headings, comments, numbers in words -----------------------------------
    case("## 30% fewer cold leads\n\nThe agent answers first.", "About 20% of leads go cold.", "30%"),
    case("## 34 properties in three cities", "We operate 34 properties.", why="a heading's figure, found"),
    case("## 4. Goals\n\n30% fewer cold leads.", "30% of leads go cold.", why="4. numbers the heading"),
    case("<!-- assume 42 properties -->", "We run 34 properties.", "42 properties"),
    case("<!-- 34 properties -->", "We run 34 properties.", why="a comment's figure, found"),
    case("We expect fifty thousand chats a year.", "About 9,000 chats a month.", "fifty thousand chats a year"),
    # -- false alarms before (each found now) --------------------------------------------------------
    case("Twenty-five agents on the floor.", "We have 25 agents."),
    case("Move-in within forty-five days.", "move-in within 45 days"),
    case("Up to fifteen thousand enquiries in peak season.", "volume goes up to about 15,000 a month"),
    case("A budget of two lakh rupees.", "a budget of ₹2 lakh"),
    case("Support 24x7.", "Support is 24/7."),
    case("Hand-offs stop at noon on Sundays.", "On Sundays the team works until 12:00."),
    case("| Metric | Target |\n|---|---|\n| First reply | 800 ms |", "replies within 2 seconds", "800 ms"),
    case("Median reply in 800 ms.", "the median reply takes 800 ms"),
    # -- percentages ----------------------------------------------------------------------------------
    case("Occupancy is 86%.", "occupancy of 86 per cent"),
    case("Occupancy is 86 percent.", "86% occupied"),
    case("Answer 86 % of chats.", "86% of chats"),
    case("A 6.5% booking rate.", "6.5% end in a booking"),
    case("A 6.5% booking rate.", "65 bookings", "6.5%"),
    case("About 30% of enquiries.", "30 enquiries came in on Monday", "30%"),
    case("About 30% of enquiries.", "30 per cent of enquiries"),
    case("Cut no-shows by 15%.", "Live by 15 May.", "15%"),
    case("Share of leads going cold: 30-40%.", "between 30% and 40% go cold"),
    case("Share of leads going cold: 30-40%.", "30 leads go cold, 40 wait", "30-40%"),
    case("99% of replies within a minute.", "99 replies a day, each within a minute", "99%"),
    case("Conversion up 5 percentage points.", "a conversion of 5%", "5 percentage points"),
    case("Reply to **99%** of leads.", "99% of leads get a reply"),
    case("From about 30% to under 5%.", "about 30% go cold today", "5%"),
    # -- money ----------------------------------------------------------------------------------------
    case("Token amount ₹5,000.", "a token of Rs. 5000"),
    case("Token amount ₹5,000.", "a token of 5,000 rupees"),
    case("Token amount ₹5,000.", "a token of 5000", why="an amount without its sign in the source"),
    case("Token amount $5,000.", "a token of ₹5,000", "$5,000"),
    case("A budget of ₹35,00,000.", "a budget of ₹35 lakh"),
    case("A budget of ₹35 lakh.", "budget: Rs 35,00,000"),
    case("A budget of ₹90 lakh.", "a budget of ₹35 lakh", "₹90 lakh"),
    case("Rent from ₹9,500 to ₹24,000 per bed per month.", "₹9,500 to ₹24,000 per bed per month"),
    case("Rent from ₹9,500 to ₹24,000 a month.", "rent is ₹9,500 to ₹24,000 per month"),
    case("Rent of ₹9,500 a week.", "rent from ₹9,500 a month", "₹9,500 a week"),
    case("Funding of ₹1.5 crore.", "we raised 1.5 crore rupees"),
    case("Funding of ₹1.5 crore.", "we raised ₹15 lakh", "₹1.5 crore"),
    case("A $1.2m budget.", "a budget of $1,200,000"),
    case("A $1.2m budget.", "1.2 million dollars"),
    case("Costs €40k a year.", "about EUR 40,000 a year"),
    case("A fee of £300.", "a fee of 300 pounds"),
    case("A fee of £300.", "300 people paid a fee", "£300"),
    case("Under ₹14,000.", "rent from ₹9,500", "₹14,000"),
    case("Price: 1,50,000 rupees.", "₹1.5 lakh"),
    case("A deposit of INR 10,000.", "a ₹10,000 deposit"),
    case("Ad spend of ₹2 lakh a month.", "we spend two lakh rupees every month on ads"),
    case("Two lakh rupees.", "₹2,00,000"),
    case("Three crore rupees.", "₹3 crore"),
    case("₹1,50,000 a year.", "1.5 lakh rupees a year"),
    case("A budget of 1.2 million.", "1,200,000 in total"),
    # -- durations ------------------------------------------------------------------------------------
    case("Reply within 60 seconds.", "answer within a minute"),
    case("Reply within one minute.", "answer within a minute"),
    case("Reply within a minute.", "answer within 60 seconds"),
    case("Within 60 seconds, at the 95th percentile.", "60 a day", "60 seconds", "95th"),
    case("Refreshed every 5 minutes.", "60 a day", "5 minutes"),
    case("Refreshed every 5 minutes.", "we refresh the cache every 5 min"),
    case("Move-in within 45 days.", "45 properties", "45 days"),
    case("Move-in within 45 days.", "move-in within forty-five days"),
    case("A 7-day move-out notice.", "a 7 day notice"),
    case("A 7-day move-out notice.", "7 properties", "7-day"),
    case("Stays of 2-6 months.", "2 to 6 months"),
    case("Stays of at least 3 months.", "a stay of at least three months"),
    case("Stays of at least 3 months.", "The audit was on 3 February.", "3 months"),
    case("Transcripts kept 1 year.", "transcripts are kept 12 months"),
    case("Transcripts kept 12 months.", "we keep them for a year"),
    case("A 24-hour session window.", "we answer 24 enquiries", "24-hour"),
    case("Acknowledge within 1 second.", "acknowledged within 1000 ms"),
    case("Acknowledge within 1 second.", "1 salesperson per city", "1 second"),
    case("Model latency under 2 s.", "under 2 seconds"),
    case("Model latency under 2.5s.", "under 2.5 seconds"),
    case("Sessions end after 2 hours.", "sessions end after 120 minutes"),
    case("A 2-week pilot.", "a pilot of 14 days"),
    case("A 2-week pilot.", "a pilot of two weeks"),
    case("Onboarding takes 10 days.", "onboarding takes 10 hours", "10 days"),
    case("Go live in 6 weeks.", "6 people", "6 weeks"),
    case("Half an hour per visit.", "each visit takes 30 minutes"),
    case("Visits last 30 minutes.", "half an hour per visit"),
    case("Data kept for 7 years.", "7% of data", "7 years"),
    case("The cache may be 5 minutes old.", "refreshed every 5 mins"),
    case("A timeout of 30s.", "a 30-second timeout"),
    case("A timeout of 30s.", "30 servers", "30s"),
    case("Hold a bed for 4 hours.", ("interview", "Yes, hold it for 4 hours."), why="a follow-up answer"),
    case("Answer within 2 minutes.", ("within a minute", "2 minutes is fine"), why="the answer, not the interview"),
    case("Kept 18 months.", ("we keep data 12 months", "Retention: 18 months."), why="an attached document"),
    case("Ten minutes at most.", "at most 10 min"),
    case("Twenty-four hours a day.", "24 hours a day"),
    case("Calls last 90 minutes.", "calls take an hour and a half", why="known false alarm: a sum in words"),
    # -- counts of something --------------------------------------------------------------------------
    case("We run 34 properties.", "We operate 34 properties with 2,650 beds."),
    case("We run 34 properties.", "We operate 43 properties.", "34 properties"),
    case("We run 34 co-living properties.", "34 properties"),
    case("2,650 beds across three cities.", "34 properties with 2,650 beds"),
    case("A 14-person inside-sales team.", "a team of 14 people"),
    case("A team of 14 people.", "a 14-person team"),
    case("One of the 3 nurses.", "3 nurses on each shift"),
    case("One of the 3 nurses.", "3 doctors and 2 nurses", "3 nurses"),
    case("Veg-only kitchens in 11 properties.", "veg-only kitchens exist in 11 properties"),
    case("About 15,000 leads.", "about 15000 leads"),
    case("About 15000 leads.", "about 15k leads"),
    case("About 15k leads.", "about 15,000 leads"),
    case("Over 3,100 reviews.", "a rating of 4.4 over 3,100 reviews"),
    case("Over 3,100 reviews.", "3,100 beds", "3,100 reviews"),
    case("12 properties in Pune.", "12 in Pune", why="the source names its noun elsewhere"),
    case("Sales managers: 8 in Bengaluru, 4 in Pune.", "8 in Bengaluru, 4 in Pune"),
    case("Two backend developers and a product manager.", "a team of 2 backend developers"),
    case("Veg-only kitchens in 40 properties.", "40% of chats are in Hindi", "40 properties"),
    case("60 conversations a day.", "each handles about 60 conversations a day"),
    case("9,000 enquiries a month.", "About 9,000 WhatsApp enquiries a month"),
    case("Average 9,000 new conversations a month.", "About 9,000 WhatsApp enquiries a month",
         "9,000 new conversations a month", why="the source counts enquiries, not conversations"),
    case("1,480 beds in Bengaluru.", "19 properties (1,480 beds) in Bengaluru"),
    case("400 new beds a year.", "we add roughly 400 beds a year"),
    case("400 new beds a year.", "400 beds in Pune", "400 new beds a year"),
    case("Serve 200 students.", "200 students and interns"),
    case("Up to 5 concurrent model calls.", "5 calls at once"),
    case("Size for 5 concurrent model calls.", "5 developers", "5 concurrent model calls"),
    case("20 agents on the night shift.", "20 agents"),
    case("A dozen properties.", "12 properties"),
    case("A hundred beds.", "100 beds"),
    case("One hundred and twenty beds.", "120 beds"),
    case("A million users.", "1m users"),
    case("Twenty agents.", "20 agents"),
    case("Twenty agents.", "20% of agents", "Twenty agents"),
    case("Fifty thousand chats a year.", "50,000 chats a year"),
    case("Fifty thousand chats a year.", "5,000 chats a year", "Fifty thousand chats a year"),
    case("Max 3 messages per session.", "3 messages per session"),
    # -- dates ----------------------------------------------------------------------------------------
    case("Live by 15 May.", "before May 15th"),
    case("Live by 2025-05-15.", "before 15 May"),
    case("Live by 15/05/2025.", "on 2025-05-15"),
    case("Held on 11 March.", "held on March 11"),
    case("Live by 16 May.", "before 15 May", "16 May"),
    case("Move in on 1 June.", "1 of the properties", "1 June"),
    case("Launch in August 2025.", "Pune and Hyderabad by August 2025"),
    case("Launch on 1 August 2025.", "launch in August 2025", "1 August 2025"),
    case("The audit on 3 February.", "3 nurses", "3 February"),
    case("Launch on 15th May 2025.", "15 May 2025"),
    case("Live by May 15, 2025.", "15/05/2025"),
    case("Under the DPDP Act 2023.", "the DPDP Act of 2023"),
    case("Under the DPDP Act 2023.", "since March 2023"),
    case("Under the DPDP Act 2023.", "the DPDP Act", "2023"),
    case("Reviewed on 3/4/2025.", "reviewed on 4 March 2025"),
    case("The 2024 season.", "in 2024"),
    # -- times of day ---------------------------------------------------------------------------------
    case("Open until 9 pm.", "until 21:00"),
    case("Open from 09:00.", "from 9 am"),
    case("Replies after 11 pm.", "after 9 pm", "11 pm"),
    case("Working hours 9 am to 9 pm.", "They work 9 am to 9 pm"),
    case("Working hours 9am-9pm.", "They work 9 am to 9 pm"),
    case("The batch runs at midnight.", "it runs at 00:00"),
    case("The batch runs at 00:00.", "it runs at midnight"),
    case("Calls at 12 noon.", "calls at noon"),
    case("A reminder at 6:30 pm.", "a reminder at 18:30"),
    case("A reminder at 6:30 pm.", "6 reminders and 30 visits", "6:30 pm"),
    case("Closes at 9 p.m.", "open till 9 pm"),
    case("Opens at 10 am.", "10 agents", "10 am"),
    case("The peak is between 9 and 11 am.", "The peak is between 9 and 11 in the morning."),
    case("Reminder calls until 7 pm.", "never after 7 in the evening"),
    case("Night bookings from 11 pm.", "the line closes at 11 in the morning", "11 pm"),
    case("The batch runs at 2 am.", "the export runs at 2 at night"),
    # -- rates ----------------------------------------------------------------------------------------
    case("Peaks of 60 an hour.", "60 a day", "60 an hour"),
    case("60 conversations per day.", "60 conversations a day"),
    case("60 conversations daily.", "60 conversations a day"),
    case("9,000 monthly enquiries.", "9,000 enquiries a month"),
    case("About 300 a day.", "9,000 a month", "300 a day"),
    case("About 300 enquiries a day.", "9,000 enquiries a month", "300 enquiries a day",
         why="a figure worked out from the sources is still checked"),
    case("Up to 500/day.", "up to 500 a day"),
    case("500 messages per hour.", "500 messages a day", "500 messages per hour"),
    case("Each agent handles 60 a day.", "60 conversations a day"),
    case("About 9,000 enquiries.", "9,000 enquiries a month"),
    case("₹24,000 per bed per month.", "₹24,000 per bed per week", "₹24,000 per bed per month"),
    case("400 beds a year.", "400 beds", "400 beds a year"),
    case("Two reminders a day.", "one reminder", "Two reminders a day"),
    case("Seven days a week: 7 days.", "seven days a week"),
    case("Fifteen thousand a month in peak season.", "about 15,000 a month"),
    # -- bare numbers ---------------------------------------------------------------------------------
    case("Pune (9, 720).", "9 properties (720 beds) in Pune"),
    case("Under 18.", "18 years old"),
    case("Rated 4.4.", "Our Google rating is 4.4 over 3,100 reviews"),
    case("Rated 4.5.", "our rating is 4.4", "4.5"),
    case("Aged 19 to 28.", "people aged 19 to 28"),
    case("A score of 42.", "we will launch on 42nd street", "42"),
    case("Cut to 9.", "open until 9 pm", "9"),
    case("Cut to 15.", "live before 15 May", "15"),
    # -- numbers in words and Indian numbering ---------------------------------------------------------
    case("Twelve months of transcripts.", "transcripts kept 12 months"),
    case("Ninety-nine percent of replies.", "99% of replies"),
    case("Five per cent go cold.", "5% go cold"),
    case("Five per cent go cold.", "5 leads go cold", "Five per cent"),
    case("Two leads may be offered the same bed.", "nothing", why="one to nine in words counting things is prose"),
    case("One calendar per property manager.", "nothing"),
    case("1,50,000 enquiries a year.", "one lakh fifty thousand enquiries a year"),
    # -- not figures ----------------------------------------------------------------------------------
    case("FR-3 and NFR-12 apply.", "nothing"),
    case("## 4. Functional requirements\n\n1. Greeting\n2) Qualification\n- 3. Booking", "nothing"),
    case("See section 7 and https://example.com/v2/42.", "nothing"),
    case("Listed on 99acres and S3, version v2.", "nothing"),
    case("SOC 2 and ISO 27001 audits, TLS 1.3 only, HTTP 429 retried.", "nothing"),
    case("It uses claude-sonnet-4-5 and GPT-4.", "nothing"),
    case("## 4.2 Hand-off rules", "nothing"),
    case("### 10) Known gaps", "nothing"),
    case("Version 2.1.3 of the API.", "nothing"),
    case("Works on 4G and 5G networks.", "nothing"),
    case("A 3D tour of the room.", "nothing"),
    case("WCAG 2.1 AA.", "nothing"),
    case("One-time passwords by SMS.", "nothing"),
    # -- ordinals, multiples, round the clock ----------------------------------------------------------
    case("At the 95th percentile.", "95th percentile"),
    case("At the 95th percentile.", "95% of replies", "95th"),
    case("With headroom for 2x.", "test at twice the peak"),
    case("With headroom for 2x.", "2 developers", "2x"),
    case("Support 24/7.", "any time of day, 24x7"),
    case("Support 24/7.", "24 agents, 7 days", "24/7"),
    case("A 10x cheaper option.", "10 times cheaper"),
    # -- tables ---------------------------------------------------------------------------------------
    case("| City | Beds |\n|---|---|\n| Pune | 720 |", "9 properties (720 beds) in Pune"),
    case("| City | Occupancy (%) |\n|---|---|\n| Pune | 86 |", "86% occupancy"),
    case("| City | Occupancy (%) |\n|---|---|\n| Pune | 87 |", "86% occupancy; 87 beds", "87"),
    case("| Metric | Target |\n|---|---|\n| First reply | 60 seconds |", "within a minute"),
    case("| Stage | Share |\n|---|---|\n| Qualified | 38% |\n| Visit | 19% |", "38% qualified, 18% visit", "19%"),
    # -- known false alarms ----------------------------------------------------------------------------
    case("25% of enquiries come from parents.", "a quarter of enquiries come from parents",
         why="known false alarm: a fraction in words"),
]


@dataclass
class Score:
    """What the check got wrong on the table."""

    cases: int = 0
    false_negatives: list[tuple[Case, str]] = field(default_factory=list)  # must be listed, was not
    false_alarms: list[tuple[Case, str]] = field(default_factory=list)  # listed, must not be

    @property
    def false_alarm_cases(self) -> int:
        return len({id(item) for item, _ in self.false_alarms})

    @property
    def false_alarm_rate(self) -> float:
        return self.false_alarm_cases / self.cases


def score(check: Callable[[str, tuple[str, ...]], list[str]]) -> Score:
    """`check(document, sources)` returns the figures it lists; each case is compared with its label."""
    result = Score(cases=len(CASES))
    for item in CASES:
        listed = check(item.document, item.sources)
        result.false_negatives += [(item, figure) for figure in item.listed if figure not in listed]
        result.false_alarms += [(item, figure) for figure in listed if figure not in item.listed]
    return result
