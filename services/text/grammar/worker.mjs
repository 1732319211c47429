// The text service's English grammar worker: Harper, kept loaded between requests.
//
// Reads requests from standard input, each a JSON object {"text": "...", "until": <ms since the
// epoch>} followed by a NUL, and answers each, in order, with a JSON object and a NUL:
//   {"edits": [[begin, end, "replacement"], ...], "words": [[begin, end, ["suggestion", ...]], ...]}
// Offsets count code points of the request's text. "edits" are the fixes Harper is sure of: rules
// measured right on ordinary prose, with one suggestion (or a first one measured right). "words" are
// the words Harper's dictionary lacks, with its suggestions, best first; the service decides about
// them with its own dictionary. A request whose "until" has passed is answered {"late": true}
// unread. Nothing here writes to standard output but answers, and nothing writes the text anywhere.
import { LocalLinter } from 'harper.js';
import { binary } from 'harper.js/binary';

console.log = console.info = console.warn = console.debug = () => {};

// Rules whose fix was right on every sentence tried (common slips, confusions and repetitions).
// Left out, each for a wrong fix seen: SplitWords ("adress" -> "a dress"), WrongNegative ("untill"
// -> "distill"), NominalWants ("wont" -> "want"), ToTo ("to to" -> "to do"), RedundantThat,
// OrthographicConsistency ("Who's" -> "who's"), and every style, readability and formatting rule.
const sureRules = new Set([
    'AnA', 'RepeatedWords', 'MultipleSequentialPronouns', 'DoubleModal', 'TheirToTheyre', 'ThereToTheir',
    'ModalOf', 'ItsContraction', 'ItsPossessive', 'ThenThan', 'OpenCompounds', 'CapitalizePersonalPronouns',
    'PronounInflectionBe', 'SimplePastToPastParticiple', 'PronounContraction', 'NounVerbConfusion', 'Cant',
]);
// Rules with several suggestions whose first was right ("Its raining" -> "It's", not "It has").
const firstIsRight = new Set(['ItsContraction']);
const spellingRules = new Set(['SpellCheck', 'SplitWords']);
// Doubled words that are often meant: "had had enough", "that that is".
const meantTwice = /^(had|that)\s+\1$/i;

const linter = new LocalLinter({ binary });
await linter.setup();
// WebAssembly is compiled lazily: a few rounds make the first requests as fast as later ones.
for (let round = 0; round < 12; ++round) {
    await linter.organizedLints(
        'Their going to recieve a apple tomorow, and i dont think we could of stopped them at the the door.',
        { language: 'plaintext' });
}

// Code points before each UTF-16 offset, for the offsets Harper gives.
function codePointOffsets(text) {
    const offsets = new Uint32Array(text.length + 1);
    let points = 0;
    for (let i = 0; i < text.length; ++i) {
        offsets[i] = points;
        const unit = text.charCodeAt(i);
        if (unit < 0xdc00 || unit > 0xdfff || i === 0 || text.charCodeAt(i - 1) < 0xd800 ||
            text.charCodeAt(i - 1) > 0xdbff) {
            ++points;
        }
    }
    offsets[text.length] = points;
    return offsets;
}

async function check(text) {
    const edits = [];
    const words = [];
    const offsets = codePointOffsets(text);
    // Not deduplicated: a word another rule claimed ("untill") still comes with its spelling.
    const organized = await linter.organizedLints(text, { language: 'plaintext', dedup: false });
    for (const [rule, lints] of Object.entries(organized)) {
        const spelling = spellingRules.has(rule);
        if (!spelling && !sureRules.has(rule)) {
            continue;
        }
        for (const lint of lints) {
            const span = lint.span();
            const problem = text.slice(span.start, span.end);
            // Spans are UTF-16 offsets; a lint that does not point at its own text is not trusted.
            if (span.end > text.length || problem !== lint.get_problem_text()) {
                continue;
            }
            const suggestions = [];
            for (const suggestion of lint.suggestions()) {
                // 0: replace, 1: remove; insertions after the span are not taken.
                const replacement = suggestion.kind() === 1 ? '' : suggestion.get_replacement_text().trim();
                if (suggestion.kind() <= 1 && !suggestions.includes(replacement)) {
                    suggestions.push(replacement);
                }
            }
            const range = [offsets[span.start], offsets[span.end]];
            if (spelling) {
                words.push([...range, suggestions]);
            } else if ((suggestions.length === 1 || (firstIsRight.has(rule) && suggestions.length > 1)) &&
                !(rule === 'RepeatedWords' && meantTwice.test(problem))) {
                edits.push([...range, suggestions[0]]);
            }
        }
    }
    // Two rules that change the same words differently disagree: neither is sure.
    const unique = [...new Map(edits.map((edit) => [JSON.stringify(edit), edit])).values()];
    const clear = unique.filter((edit) => !unique.some((other) => other !== edit && other[0] < edit[1] &&
        edit[0] < other[1]));
    return { edits: clear, words };
}

let pending = Buffer.alloc(0);
let queue = Promise.resolve();
process.stdin.on('data', (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    for (let end = pending.indexOf(0); end >= 0; end = pending.indexOf(0)) {
        const request = pending.subarray(0, end).toString('utf8');
        pending = pending.subarray(end + 1);
        queue = queue.then(async () => {
            let message;
            try {
                message = JSON.parse(request);
            } catch {
                message = { text: '' };
            }
            const { text, until } = message;
            // A failure inside Harper may leave it unusable: the service starts a fresh worker.
            const answer = until !== undefined && Date.now() > until
                ? { late: true }
                : await check(String(text ?? '')).catch(() => process.exit(70));
            process.stdout.write(JSON.stringify(answer) + '\0');
        });
    }
});
process.stdin.on('end', () => queue.then(() => process.exit(0)));
