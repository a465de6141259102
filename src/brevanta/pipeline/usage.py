"""What the model requests of a run cost: one record per request, their totals, and the estimate at
list prices.

A record is a plain dict, as the session keeps it: operation, model, the four token counts the Messages
API reports (input tokens exclude the prompt written to or read from the cache), whether the counts
are estimates (a replay counts characters, not tokens) and whether the request was made in a batch
(priced at the batch column of the price table).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from brevanta import config
from brevanta.pipeline.records import is_count

COUNTS = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")


def usage_record(operation: str, model: str, usage: Any, *, estimated: bool = False,
                 batch: bool = False) -> dict[str, Any]:
    """The record of one request; `usage` is the reply's usage (any object with the API's count names)."""
    record: dict[str, Any] = {"operation": operation, "model": model}
    for name in COUNTS:
        value = getattr(usage, name, None)
        record[name] = value if isinstance(value, int) and value >= 0 else 0
    if estimated:
        record["estimated"] = True
    if batch:
        record["batch"] = True
    return record


def _count(record: dict[str, Any], name: str) -> int:
    value = record.get(name)
    return value if is_count(value) else 0


def cost_of(record: dict[str, Any]) -> float | None:
    """The record's cost in dollars at its model's list prices; None when the model has no known price."""
    prices = config.MODEL_PRICES.get(str(record.get("model")))
    if prices is None:
        return None
    pair = (prices.batch_input, prices.batch_output) if record.get("batch") is True else (prices.input, prices.output)
    input_price, output_price = (price / 1_000_000 for price in pair)
    return (input_price * (_count(record, "input_tokens")
                           + config.CACHE_WRITE_FACTOR * _count(record, "cache_creation_input_tokens")
                           + config.CACHE_READ_FACTOR * _count(record, "cache_read_input_tokens"))
            + output_price * _count(record, "output_tokens"))


@dataclass(frozen=True)
class Totals:
    tokens_in: int  # every prompt token, cached or not
    from_cache: int
    tokens_out: int
    cost: float | None  # None when any request's model has no known price
    estimated: bool


def totals(records: list[Any]) -> Totals:
    """The sum of `records`; entries that are not records (a hand-edited session) count for nothing."""
    records = [record for record in records if isinstance(record, dict)]
    costs = [cost_of(record) for record in records]
    return Totals(
        tokens_in=sum(_count(record, "input_tokens") + _count(record, "cache_creation_input_tokens")
                      + _count(record, "cache_read_input_tokens") for record in records),
        from_cache=sum(_count(record, "cache_read_input_tokens") for record in records),
        tokens_out=sum(_count(record, "output_tokens") for record in records),
        cost=None if None in costs else sum(cost for cost in costs if cost is not None),
        estimated=any(record.get("estimated") is True for record in records),
    )


def request_tokens(record: dict[str, Any]) -> str:
    """One request's tokens: "2412 in, 2907 out", with the part read from the cache when there is one."""
    total = totals([record])
    cached = f" ({total.from_cache} from cache)" if total.from_cache else ""
    return f"{total.tokens_in} in{cached}, {total.tokens_out} out" + (" (estimated)" if total.estimated else "")


def unpriced_models(records: list[Any]) -> list[str]:
    models = {str(record.get("model")) for record in records if isinstance(record, dict)}
    return sorted(model for model in models if model not in config.MODEL_PRICES)


def usage_summary(records: list[Any]) -> str:
    """"12,345 tokens in (8,000 from cache), 4,321 tokens out, about $0.10 at list prices": tokens only
    when a model's price is unknown."""
    total = totals(records)
    text = f"{total.tokens_in:,} tokens in ({total.from_cache:,} from cache), {total.tokens_out:,} tokens out"
    if total.cost is not None:
        text += f", about ${total.cost:,.2f} at list prices"
    else:
        text += f" (no list price known for {', '.join(unpriced_models(records))})"
    if total.estimated:
        text += " (estimated)"
    return text


def cost_text(records: list[Any]) -> str:
    """What the requests cost, shortly: "$0.12" ("~$0.12" when the counts are estimates); "" without
    records or when a model's price is unknown."""
    if not records:
        return ""
    total = totals(records)
    if total.cost is None:
        return ""
    return f"{'~' if total.estimated else ''}${total.cost:,.2f}"
