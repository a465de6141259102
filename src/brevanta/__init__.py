"""Requirements-gathering pipeline: interviews a company about the AI agent it wants and writes the PRD and TRD."""
