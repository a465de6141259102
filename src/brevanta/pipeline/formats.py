"""A document's Markdown as a self-contained HTML page and as a Word file, both built from the token
stream of markdown-it-py (the `documents` extra) rather than by hand: raw HTML in the Markdown is not
passed through, links go only to web and mail addresses, images (remote resources) are not loaded.

The document's sources are Markdown footnotes (`[^s1]`), read by the footnote plugin of mdit-py-plugins,
which numbers them in the order they are referenced, as the pipeline does: the page shows each reference
as [1] with the cited words on hover (its title) and the "Sources" list with links back; python-docx has no
footnotes, so the Word file shows each reference as a superscript [1] and the "Sources" section as a list
numbered [1], [2], ... Inline footnotes (`^[...]`) are not read: only the pipeline's references are footnotes."""

from __future__ import annotations

import html
import importlib.util
import io
from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Any

from brevanta.pipeline.inputs import FORMATS

if TYPE_CHECKING:
    from markdown_it import MarkdownIt
    from markdown_it.token import Token

EXTRA_MODULES = {"html": ("markdown_it", "mdit_py_plugins"), "docx": ("markdown_it", "mdit_py_plugins", "docx")}
SAFE_SCHEMES = ("http://", "https://", "mailto:")

_STYLE = """
body { font: 11pt/1.5 Georgia, "Times New Roman", serif; color: #1a1a1a; max-width: 46em; margin: 2em auto;
       padding: 0 1em; }
h1, h2, h3, h4 { font-family: "Helvetica Neue", Arial, sans-serif; line-height: 1.25; page-break-after: avoid; }
h1 { font-size: 1.7em; } h2 { font-size: 1.3em; border-bottom: 1px solid #ccc; padding-bottom: .2em; }
blockquote { margin: 1em 0; padding: .4em 1em; border-left: 4px solid #bbb; background: #f6f6f6; color: #333; }
table { border-collapse: collapse; margin: 1em 0; } th, td { border: 1px solid #999; padding: .3em .6em; }
th { background: #eee; } code, pre { font-family: Menlo, Consolas, monospace; font-size: .9em; }
pre { background: #f4f4f4; padding: .6em; overflow-x: auto; white-space: pre-wrap; }
a { color: #1d4f91; } li { margin: .2em 0; }
.footnote-ref a { text-decoration: none; font-size: .8em; } .footnotes { font-size: .92em; }
.footnotes-list li:target { background: #fff6d5; }
@media print { body { margin: 0; max-width: none; font-size: 10.5pt; } a { color: inherit; }
               h2, h3 { page-break-after: avoid; } tr, li, blockquote, pre { page-break-inside: avoid; } }
"""


def installed_formats() -> list[str]:
    """Every format this installation can write (FORMATS whose modules are there), Markdown always."""
    return [fmt for fmt in FORMATS if not missing_modules([fmt])]


def missing_modules(formats: list[str]) -> list[str]:
    """The modules of the `documents` extra that the chosen formats need and this environment lacks."""
    needed = dict.fromkeys(name for fmt in formats for name in EXTRA_MODULES.get(fmt, ()))
    return [name for name in needed if importlib.util.find_spec(name) is None]


def is_safe_link(url: str) -> bool:
    return url.strip().lower().startswith(SAFE_SCHEMES)


# Where the rendering finds each footnote's text, for the hover title of its references, and the
# addresses that show each footnote's passage in its source (the browser's pages).
_QUOTES = "brevanta_footnote_quotes"
_PASSAGE_LINKS = "brevanta_passage_links"


def _footnote_reference(self: Any, tokens: list[Token], index: int, options: Any, env: dict[str, Any]) -> str:
    """A reference as [N] (each reference to the same source alike), the cited words as its title."""
    meta = tokens[index].meta
    number = meta["id"] + 1
    reference = f"{number}" + (f":{meta['subId']}" if meta.get("subId", 0) > 0 else "")
    title = env.get(_QUOTES, {}).get(meta["id"], "")
    shown = (f'<sup class="footnote-ref"><a href="#fn{number}" id="fnref{reference}" '
             f'title="{html.escape(title)}">[{number}]</a></sup>')
    passage = env.get(_PASSAGE_LINKS, {}).get(number)
    if passage:  # the quote beside the text it supports, opening the passage in its source
        shown += f'<a class="source-quote" href="{html.escape(passage)}">{html.escape(title)}</a>'
    return shown


def _sources_open(self: Any, tokens: list[Token], index: int, options: Any, env: dict[str, Any]) -> str:
    """The footnotes under the document's own "Sources" heading, without a rule of their own."""
    return '<section class="footnotes">\n<ol class="footnotes-list">\n'


def _parser() -> MarkdownIt:
    from markdown_it import MarkdownIt
    from mdit_py_plugins.footnote import footnote_plugin

    parser = MarkdownIt("commonmark", {"html": False}).enable("table").disable("image")
    parser.use(footnote_plugin, inline=False)
    parser.add_render_rule("footnote_ref", _footnote_reference)
    parser.add_render_rule("footnote_block_open", _sources_open)
    parser.validateLink = is_safe_link  # type: ignore[method-assign]
    return parser


def _plain_text(token: Token) -> str:
    return "".join(child.content for child in token.children or [] if child.type in ("text", "code_inline"))


def footnote_texts(tokens: list[Token]) -> dict[int, str]:
    """Each footnote's text as plain text, by the footnote's id (its number less one)."""
    texts: dict[int, str] = {}
    current: int | None = None
    for token in tokens:
        if token.type == "footnote_open":
            current = token.meta["id"]
        elif token.type == "footnote_close":
            current = None
        elif token.type == "inline" and current is not None:
            texts[current] = (texts.get(current, "") + " " + _plain_text(token)).strip()
    return texts


def _render(parser: MarkdownIt, tokens: list[Token], passage_links: dict[int, str] | None = None) -> str:
    env = {_QUOTES: footnote_texts(tokens), _PASSAGE_LINKS: passage_links or {}}
    return str(parser.renderer.render(tokens, parser.options, env))


def _parsed(parser: MarkdownIt, markdown: str) -> list[Token]:
    """The token stream, with the lines of a block quote kept as lines: a quote here is text given verbatim
    (the header's two lines, the user's own answers), where Markdown would run the lines into one."""
    tokens = parser.parse(markdown)
    depth = 0
    for token in tokens:
        if token.type in ("blockquote_open", "blockquote_close"):
            depth += 1 if token.type == "blockquote_open" else -1
        elif depth and token.type == "inline":
            for child in token.children or []:
                if child.type == "softbreak":
                    child.type, child.tag = "hardbreak", "br"
    return tokens


def _title(tokens: list[Token]) -> str:
    for position, token in enumerate(tokens):
        if token.type == "heading_open":
            return tokens[position + 1].content
    return "Document"


def _html_page(parser: MarkdownIt, tokens: list[Token]) -> str:
    """A self-contained page: inline style fit to print, no script, no remote resource of any kind (the
    page's own policy forbids them too), every text escaped."""
    body = _render(parser, tokens)
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        f"<title>{html.escape(_title(tokens))}</title>\n<style>{_STYLE}</style>\n</head>\n"
        f"<body>\n<main>\n{body}</main>\n</body>\n</html>\n"
    )


# -- Word ---------------------------------------------------------------------


@dataclass
class _WordWriter:
    """Walks the token stream into a python-docx document, one block token at a time."""

    document: Any
    lists: list[str] = field(default_factory=list)  # "Bullet" or "Number", outermost first
    quotes: int = 0
    item_started: bool = False  # the current list item already has its first paragraph
    footnote: int | None = None  # the number of the source whose paragraph comes next
    table: list[list[Token]] | None = None
    header_rows: int = 0

    style_ids: dict[str, str] = field(default_factory=dict)

    def paragraph(self, style: str | None) -> Any:
        """A new paragraph in the named style. The style's id is looked up once per name and set
        directly: python-docx looks the name up anew for every paragraph, which costs more than the
        rest of the document together."""
        paragraph = self.document.add_paragraph()
        if style is not None:
            if style not in self.style_ids:
                self.style_ids[style] = self.document.styles[style].style_id
            paragraph._p.style = self.style_ids[style]
        return paragraph

    def paragraph_style(self) -> str | None:
        if self.lists:
            depth = "" if len(self.lists) == 1 else f" {min(len(self.lists), 3)}"
            if self.item_started:
                return f"List Continue{depth}"
            self.item_started = True
            return f"List {self.lists[-1]}{depth}"
        return "Quote" if self.quotes else None

    def inline(self, paragraph: Any, token: Token) -> None:
        bold = italic = False
        link: str | None = None
        link_text = ""
        for child in token.children or []:
            kind = child.type
            if kind in ("strong_open", "strong_close"):
                bold = kind == "strong_open"
            elif kind in ("em_open", "em_close"):
                italic = kind == "em_open"
            elif kind == "link_open":
                link, link_text = str(child.attrs.get("href", "")), ""
            elif kind == "link_close":
                if link and link != link_text and link != f"mailto:{link_text}":
                    paragraph.add_run(f" ({link})")
                link = None
            elif kind in ("softbreak", "hardbreak"):
                run = paragraph.add_run(" " if kind == "softbreak" else "")
                if kind == "hardbreak":
                    run.add_break()
            elif kind == "footnote_ref":
                paragraph.add_run(f"[{child.meta['id'] + 1}]").font.superscript = True
            elif kind in ("text", "code_inline") and child.content:
                run = paragraph.add_run(child.content)
                if bold:  # set only when on: each property costs an element
                    run.bold = True
                if italic:
                    run.italic = True
                if kind == "code_inline":
                    run.font.name = "Courier New"
                if link is not None:
                    link_text += child.content
                    run.underline = True

    def block(self, tokens: list[Token], position: int) -> None:
        token = tokens[position]
        kind = token.type
        if self.table is not None:
            self.table_token(token)
        elif kind == "heading_open":
            self.inline(self.paragraph(f"Heading {min(int(token.tag[1:]), 9)}"), tokens[position + 1])
        elif kind == "paragraph_open":
            paragraph = self.paragraph(self.paragraph_style())
            if self.footnote is not None:  # a source of the "Sources" list, numbered as its references
                paragraph.add_run(f"[{self.footnote}] ").bold = True
                self.footnote = None
            self.inline(paragraph, tokens[position + 1])
        elif kind == "footnote_open":
            self.footnote = token.meta["id"] + 1
        elif kind in ("bullet_list_open", "ordered_list_open"):
            self.lists.append("Bullet" if kind == "bullet_list_open" else "Number")
        elif kind in ("bullet_list_close", "ordered_list_close"):
            self.lists.pop()
        elif kind == "list_item_open":
            self.item_started = False
        elif kind in ("blockquote_open", "blockquote_close"):
            self.quotes += 1 if kind == "blockquote_open" else -1
        elif kind in ("fence", "code_block"):
            run = self.paragraph(None).add_run(token.content.rstrip("\n"))
            run.font.name = "Courier New"
        elif kind == "table_open":
            self.table, self.header_rows = [], 0

    def table_token(self, token: Token) -> None:
        assert self.table is not None
        if token.type == "tr_open":
            self.table.append([])
        elif token.type == "inline":
            self.table[-1].append(token)
        elif token.type == "thead_close":
            self.header_rows = len(self.table)
        elif token.type == "table_close":
            rows, self.table = self.table, None
            self.add_table(rows)

    def add_table(self, rows: list[list[Token]]) -> None:
        columns = max((len(row) for row in rows), default=0)
        if not columns:
            return
        table = self.document.add_table(rows=len(rows), cols=columns)
        table.style = "Table Grid"
        for row_number, row in enumerate(rows):
            for column, cell_token in enumerate(row):
                paragraph = table.cell(row_number, column).paragraphs[0]
                self.inline(paragraph, cell_token)
                if row_number < self.header_rows:
                    for run in paragraph.runs:
                        run.bold = True


@dataclass(frozen=True)
class Authorship:
    """Who a document is written for and when, as a Word file's properties say it."""

    author: str  # the organisation
    written: datetime


def _word_file(tokens: list[Token], authorship: Authorship) -> bytes:
    """A Word document with real headings, lists, tables, quotes and emphasis; its properties name the
    organisation as author, the document's title and the time it was written (python-docx's own
    template would say "python-docx", 2013)."""
    import docx

    document = docx.Document()
    properties = document.core_properties
    properties.title = _title(tokens)
    properties.author = properties.last_modified_by = authorship.author
    properties.comments = ""
    properties.created = properties.modified = authorship.written
    properties.revision = 1
    writer = _WordWriter(document)
    for position in range(len(tokens)):
        writer.block(tokens, position)
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def to_html(markdown: str) -> str:
    parser = _parser()
    return _html_page(parser, _parsed(parser, markdown))


def html_body(markdown: str, passage_links: dict[int, str] | None = None) -> str:
    """The HTML of the Markdown alone, under the same rules as the page, for a page of its own (the browser).
    `passage_links` gives, by footnote number, an address showing the cited passage: each reference is then
    followed by its quote, a link there."""
    parser = _parser()
    return _render(parser, _parsed(parser, markdown), passage_links)


def to_docx(markdown: str, authorship: Authorship) -> bytes:
    return _word_file(_parsed(_parser(), markdown), authorship)


def render_all(markdown: str, formats: list[str], authorship: Authorship) -> dict[str, str | bytes]:
    """The document in each of `formats` (see FORMATS), the Markdown parsed once for all of them."""
    rendered: dict[str, str | bytes] = {}
    parser = _parser() if set(formats) & {"html", "docx"} else None
    tokens = _parsed(parser, markdown) if parser else []
    for fmt in formats:
        if fmt == "html" and parser:
            rendered[fmt] = _html_page(parser, tokens)
        elif fmt == "docx":
            rendered[fmt] = _word_file(tokens, authorship)
        else:
            rendered[fmt] = markdown
    return rendered
