// The identity service on PostgreSQL: the schema, the shared keys and accounts, and refresh tokens
// consumed exactly once across instances. Against a real PostgreSQL started here. Run with `node --test`.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { createUserIn, findUserIn, loadKeysFrom, openDatabase } from '../pgstore.mjs';
import { passwordMatches } from '../store.mjs';
import { startPostgres } from './postgres.mjs';
import {
  makeCertificate, renew, request, signIn, startIdentity, stopProcess,
} from './team.mjs';

const folder = mkdtempSync(join(tmpdir(), 'pm-identity-pg-'));
let postgres;
const pools = [];
before(async () => { postgres = await startPostgres(); });
after(async () => {
  await Promise.all(pools.map((pool) => pool.end()));
  await postgres?.stop();
  rmSync(folder, { recursive: true, force: true });
});

test('instances starting together apply the schema once, and share one set of keys and accounts', async () => {
  pools.push(...await Promise.all([1, 2, 3].map(() => openDatabase(postgres.url))));
  pools.push(await openDatabase(postgres.url));
  const { rows } = await pools[0].query('SELECT service, version FROM schema_migrations');
  assert.deepEqual(rows, [{ service: 'identity', version: 1 }]);

  const keys = await Promise.all(pools.map((pool) => loadKeysFrom(pool)));
  assert.ok(keys.every((k) => k.signingKey.kid === keys[0].signingKey.kid && k.cookieKeys[0] === keys[0].cookieKeys[0]));
  assert.ok(keys[0].signingKey.d, 'the private key is kept');

  const passwords = await Promise.all(pools.map((pool) => createUserIn(pool, 'ana')));
  const password = passwords.find(Boolean);
  assert.equal(passwords.filter(Boolean).length, 1);
  const stored = await pools[1].query('SELECT * FROM identity_accounts');
  assert.ok(!JSON.stringify(stored.rows).includes(password), 'the password is kept only as a hash');
  for (const login of ['ana', 'ana@localhost']) {
    const user = await findUserIn(pools[2], login);
    assert.equal(user?.sub, 'local|ana');
    assert.ok(passwordMatches(user, password));
  }
  assert.equal(await findUserIn(pools[2], "' OR '1'='1"), undefined);
});

test('a refresh token renews on another instance, and racing renewals of one token give one new set', async () => {
  const certificate = makeCertificate(folder);
  const pool = await openDatabase(postgres.url);
  pools.push(pool);
  const password = await createUserIn(pool, 'ben');
  const issuer = 'https://identity.team.test/';
  const instances = await Promise.all([1, 2].map(() => startIdentity({ certificate, database: postgres.url, issuer })));
  try {
    const [a, b] = instances.map(({ port }) => `https://127.0.0.1:${port}/`);
    const tokens = await signIn(a, 'ben', password, certificate.ca);
    assert.ok(tokens.refresh_token, JSON.stringify(Object.keys(tokens)));

    const renewed = await renew(b, tokens.refresh_token, certificate.ca);
    assert.equal(renewed.status, 200);
    assert.notEqual(renewed.body.refresh_token, tokens.refresh_token);

    const racers = Array.from({ length: 50 }, (_, i) => renew(i % 2 ? a : b, renewed.body.refresh_token, certificate.ca));
    const answers = await Promise.all(racers);
    const won = answers.filter((answer) => answer.status === 200);
    assert.equal(won.length, 1, answers.map((answer) => answer.status).join(' '));
    for (const answer of answers.filter((x) => x.status !== 200)) {
      assert.equal(answer.status, 400);
      assert.equal(answer.body.error, 'invalid_grant');
    }
    for (const base of [a, b]) assert.equal((await request(`${base}health`, { ca: certificate.ca })).status, 200);
  } finally {
    await Promise.all(instances.map(({ process }) => stopProcess(process)));
  }
});
