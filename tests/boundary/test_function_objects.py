"""What the interpreter sees of our function objects: names, docstrings,
descriptor binding and introspection."""

import inspect
import pickle
import pydoc

import pytest

import brevanta.gapscope as gapscope

Result = gapscope.AnalysisResult
analyze = gapscope.analyze_requirements.__wrapped__

FUNCTIONS = {
    "analyze": (analyze, "analyze_requirements", "analyze_requirements"),
    "init": (Result.__init__, "__init__", "AnalysisResult.__init__"),
    "empty": (Result.__dict__["empty"].__func__, "empty", "AnalysisResult.empty"),
    "unanswered": (Result.get_unanswered_gaps, "get_unanswered_gaps", "AnalysisResult.get_unanswered_gaps"),
    "bypass": (Result.get_bypass_summary, "get_bypass_summary", "AnalysisResult.get_bypass_summary"),
    "label": (gapscope._completeness_label, "_completeness_label", "_completeness_label"),
    "report": (gapscope.display_analysis, "display_analysis", "display_analysis"),
    "gap": (gapscope.display_gap_with_impact, "display_gap_with_impact", "display_gap_with_impact"),
    "extract": (gapscope._extract_json, "_extract_json", "_extract_json"),
}


@pytest.mark.parametrize("function, name, qualname", FUNCTIONS.values(), ids=FUNCTIONS.keys())
def test_names_and_module(function, name, qualname):
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == "brevanta.gapscope"
    assert repr(function).startswith(f"<function {qualname} at 0x")


def test_docstrings():
    assert analyze.__doc__ == (
        "Run AI-powered deep analysis on collected interview data.\n\n"
        "    api_client: optional RelayGate \u2014 if provided and full_hosted=True,\n"
        "    routes the AI call through the server proxy (D196).\n    "
    )
    assert Result.__init__.__doc__ is None and Result.__dict__["empty"].__func__.__doc__ is None
    assert Result.__doc__ is None
    assert Result.get_unanswered_gaps.__doc__ == "Get gaps that haven't been answered or bypassed."
    assert Result.get_bypass_summary.__doc__ == "Summary of what was skipped \u2014 passed to document generation."
    assert gapscope._completeness_label.__doc__ == "Return a human-readable label for a completeness score."
    assert gapscope.display_analysis.__doc__ == "Display AI analysis results with full transparency."
    assert gapscope.display_gap_with_impact.__doc__ == (
        "Display a single gap with its impact assessment for bypass decision."
    )
    assert gapscope._extract_json.__doc__ == "Extract JSON from a response, with repair for common Claude JSON issues."


def test_signatures_show_the_declaration():
    assert str(inspect.signature(analyze)) == (
        "(interview_text: 'str', loop_number: 'int' = 1, api_client: \"'RelayGate | None'\" = None)"
        " -> 'AnalysisResult'"
    )
    # The retry wrapper forwards to the same signature.
    assert inspect.signature(gapscope.analyze_requirements) == inspect.signature(analyze)
    assert str(inspect.signature(Result.empty)) == "(reason: 'str' = '') -> \"'AnalysisResult'\""
    assert str(inspect.signature(Result().get_unanswered_gaps)) == "() -> 'list[dict[str, Any]]'"
    assert str(inspect.signature(gapscope.display_gap_with_impact)) == "(gap: 'dict[str, Any]', index: 'int')"
    assert str(inspect.signature(gapscope.display_analysis)) == "(result: 'AnalysisResult')"


def test_help_shows_signature_and_docstring():
    text = pydoc.render_doc(gapscope._extract_json, renderer=pydoc.plaintext)
    assert "_extract_json(text: 'str') -> 'str'" in text
    assert "Extract JSON from a response" in text


def test_defaults_and_annotations():
    assert analyze.__defaults__ == (1, None)
    assert analyze.__kwdefaults__ is None
    assert analyze.__annotations__ == {
        "interview_text": "str", "loop_number": "int", "api_client": "'RelayGate | None'", "return": "AnalysisResult",
    }
    assert analyze.__annotations__ is analyze.__annotations__
    assert Result.__init__.__defaults__ == (0.0, "", False, None, None, None, None, "", "")
    assert Result.__init__.__annotations__ == {
        "completeness_score": "float", "completeness_reasoning": "str", "sufficient_for_prd": "bool",
        "gaps": "list[dict[str, Any]] | None", "insights": "list[dict[str, Any]] | None",
        "data_points_found": "list[str] | None", "architecture_notes": "list[str] | None",
        "summary": "str", "raw_response": "str",
    }
    assert gapscope.display_analysis.__defaults__ is None


def test_coroutine_marker():
    import asyncio
    from asyncio.coroutines import _is_coroutine

    assert analyze._is_coroutine is _is_coroutine
    assert asyncio.iscoroutinefunction(analyze)
    for function, _, _ in FUNCTIONS.values():
        if function is not analyze:
            assert function._is_coroutine is False
            assert not asyncio.iscoroutinefunction(function)


def test_function_dict_and_writable_metadata():
    function = gapscope.display_analysis
    function.custom = 1
    assert function.__dict__ == {"custom": 1}
    del function.custom
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        function.__name__ = 3


def test_methods_bind_like_python_functions():
    result = Result(gaps=[{"id": "a"}])
    bound = result.get_unanswered_gaps
    assert bound.__self__ is result and bound.__func__ is Result.get_unanswered_gaps
    assert bound() == [{"id": "a"}]
    assert Result.get_unanswered_gaps(result) == [{"id": "a"}]
    assert Result.__dict__["get_unanswered_gaps"].__get__(None, Result) is Result.get_unanswered_gaps


def test_classmethod_and_subclasses():
    class Sub(Result):
        pass

    assert type(Sub.empty("why")) is Sub
    assert type(Result().empty()) is Result
    assert type(Sub().empty()) is Sub


def test_result_class_shape():
    assert Result.__bases__ == (object,)
    assert Result.__module__ == "brevanta.gapscope" and Result.__qualname__ == "AnalysisResult"
    assert sorted(k for k in vars(Result) if not k.startswith("__")) == [
        "empty", "get_bypass_summary", "get_unanswered_gaps",
    ]
    assert isinstance(vars(Result)["empty"], classmethod)


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(gapscope._extract_json)) is gapscope._extract_json
    assert pickle.loads(pickle.dumps(Result.get_bypass_summary)) is Result.get_bypass_summary


def test_errors_from_a_body_get_a_traceback_entry():
    with pytest.raises(AttributeError) as info:
        Result(gaps=[1]).get_bypass_summary.__func__(type("Shell", (), {"bypassed_gaps": ["x"]})())
    last = info.traceback[-1]
    assert last.frame.code.raw.co_filename == "brevanta/gapscope"
    assert last.frame.code.raw.co_name == "AnalysisResult.get_bypass_summary"
