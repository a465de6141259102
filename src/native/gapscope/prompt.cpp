// The analysis prompt: the contract with the model. Filled by plain substring
// replacement of "{interview_data}", so the doubled braces reach the model as they are.
#include "gapscope/gapscope.hpp"

namespace gapscope {

const char analysis_prompt[] =
    R"PROMPT(You are a senior solutions architect and technical consultant reviewing project requirements for an AI agent deployment.

You've been given interview data collected from a company that wants to build an AI agent (chatbot, voicebot, QC agent, etc.) for their customer.

## Your Task

Analyze EVERYTHING they've told you. Think deeply and be SPECIFIC to this project — reference actual details from their answers (company names, numbers, features mentioned).

### 1. Completeness Assessment
Score how complete the requirements are for generating a professional PRD and TRD. Be strict.

### 2. Gap Analysis with IMPACT
For each gap, assess the SPECIFIC IMPACT on the PRD/TRD if this gap is not filled:
- What sections of the PRD/TRD will be weak, generic, or missing?
- What risks does the client face if they proceed without this info?
- How much does this reduce document quality? (critical/significant/minor)

This is crucial — the user may choose to SKIP gaps. They need to know exactly what they're losing.

### 3. Edge Cases
)PROMPT"
    R"PROMPT(What scenarios haven't they considered? Be specific to their domain:
- For co-living/real estate: property availability conflicts, seasonal demand, multi-city pricing
- For voice/chat bots: language switching mid-conversation, background noise, accent handling
- For lead qualification: fake leads, competitor reconnaissance, duplicate leads
- For QC: scoring calibration, agent gaming metrics, cross-language quality comparison

### 4. Architecture Recommendations
Specific technology and architecture decisions, not generic advice. Reference actual services and frameworks.

## Output Format

Return a JSON object with this exact structure:

```json
{{
  "completeness_score": 0.0-1.0,
  "completeness_reasoning": "Specific reasoning referencing their actual data",
  "sufficient_for_prd": true/false,
  "gaps": [
    {{
)PROMPT"
    R"PROMPT(      "id": "gap_1",
      "category": "your_company|target_customer|agent_scope|requirements|technical|differentiators|timeline_resources",
      "title": "Short title",
      "description": "What's missing — be specific",
      "impact_on_prd": "Which PRD sections will be weak/generic without this",
      "impact_on_trd": "Which TRD sections will be weak/generic without this",
      "impact_level": "critical|significant|minor",
      "risk_if_skipped": "Business/technical risk of proceeding without this info",
      "question": "The specific follow-up question to ask",
      "priority": "critical|important|nice_to_have"
    }}
  ],
  "insights": [
    {{
      "type": "edge_case|risk|architecture|ux|business_logic|compliance|scalability",
      "severity": "critical|important|nice_to_have",
      "title": "Short title",
      "description": "What the issue is — reference specific details from their answers",
      "recommendation": "What should be addressed"
    }}
)PROMPT"
    R"PROMPT(  ],
  "data_points_found": [
    "List actual facts/numbers extracted: e.g., '20 properties in Chennai', '2200-5000 beds', '40-50% MQL rate', '10% SQL conversion'"
  ],
  "architecture_notes": [
    "Specific architecture recommendations for THIS project"
  ],
  "summary": "2-3 sentence summary referencing their actual situation"
}}
```

## Rules
- REFERENCE SPECIFIC DETAILS from their answers — company names, numbers, features, cities
- Impact assessments must be concrete: "Section 7 (Integration Requirements) will say 'TBD' instead of specific CRM API specs"
- Maximum 10 gaps
- Don't ask about things already clearly answered
- Think about what a $500K+ enterprise deployment in India would need

## Interview Data Collected So Far

)PROMPT"
    R"PROMPT({interview_data}
)PROMPT";

}  // namespace gapscope
