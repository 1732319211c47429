// The team deployment on loopback: two identity and two text service instances on one PostgreSQL,
// behind HAProxy with deploy/haproxy/parlomatic.cfg (only its "server" lines replaced). Sign-in,
// Replace (translate), Improve and renewals go through the balancer; then one instance of each is
// killed and every request still succeeds, and HAProxy takes both out within seconds. A preferred
// gender set through one text instance reaches the ID tokens of both identity instances.
// Run with `node --test`; PARLOMATIC_BUILD_DIR names the build with the text service.
import assert from 'node:assert/strict';
import { after, test } from 'node:test';

import { renew, request, signIn } from '../../services/identity/test/team.mjs';
import { startDeployment, waitFor } from './deployment.mjs';

let deployment;
after(() => deployment?.stop());

test('sign-in, Replace, Improve and renewals through HAProxy, before and after an instance of each dies', async (t) => {
  deployment = await startDeployment();
  const {
    issuer, text, ca, identities, texts, log,
  } = deployment;

  const tokens = await signIn(issuer, deployment.login, deployment.password, ca);
  let refreshToken = tokens.refresh_token;
  let accessToken = tokens.access_token;
  const authorization = () => ({ authorization: `Bearer ${accessToken}` });
  const replace = () => request(`${text}v1/translate`, {
    method: 'POST', headers: authorization(), body: { q: 'The house is big.', source: 'en', target: 'es' }, ca,
  });
  const improve = () => request(`${text}v1/improve`, { method: 'POST', headers: authorization(), body: { q: 'i think so' }, ca });
  // Renewals one after the other alternate between the identity instances.
  const renewals = async (count) => {
    for (let i = 0; i < count; i += 1) {
      const renewed = await renew(issuer, refreshToken, ca);
      assert.equal(renewed.status, 200, JSON.stringify(renewed.body));
      ({ refresh_token: refreshToken, access_token: accessToken } = renewed.body);
    }
  };
  const everything = async (rounds) => {
    await renewals(2);
    const answers = await Promise.all(Array.from({ length: rounds }, (_, i) => (i % 2 ? improve() : replace())));
    for (const answer of answers) assert.equal(answer.status, 200, JSON.stringify(answer.body));
    return answers;
  };

  const [translated, improved] = await everything(2);
  assert.match(JSON.stringify(translated.body), /casa/);
  assert.match(JSON.stringify(improved.body), /I think so/);

  // A preferred gender stored through one text instance is in the ID tokens of both identity instances.
  const gender = await request(`${text}v1/user/metadata`, { method: 'PATCH', headers: authorization(), body: { gender: 'feminine' }, ca });
  assert.equal(gender.status, 200, JSON.stringify(gender.body));
  for (let i = 0; i < 2; i += 1) {
    const renewed = await renew(issuer, refreshToken, ca);
    ({ refresh_token: refreshToken, access_token: accessToken } = renewed.body);
    const claims = JSON.parse(Buffer.from(renewed.body.id_token.split('.')[1], 'base64url'));
    assert.equal(claims.pm_gender, 'feminine');
  }

  const killedAt = Date.now();
  identities[0].process.kill('SIGKILL');
  texts[0].process.kill('SIGKILL');
  await everything(20);
  await waitFor('both dead instances out', () => /identity1 is DOWN/.test(log()) && /text1 is DOWN/.test(log()), 5, log);
  const outAfter = Date.now() - killedAt;
  await everything(10);
  t.diagnostic(`dead instances out after ${outAfter} ms`);
});
