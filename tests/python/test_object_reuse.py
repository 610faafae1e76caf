"""Which objects a new book hands out again and which it makes anew."""

import pelarune
from conftest import change, definition, mcm, rc

ATB = [[2.0, 10], [1.9, 5]]
ATL = [[2.1, 3]]


def replay(stream_file, *lines):
    return list(pelarune.iter_prices_file(stream_file(*lines)))


def two_runner_start():
    return mcm(1, change(marketDefinition=definition(), rc=[
        rc(1, atb=ATB, atl=ATL, trd=[[2.0, 1]]), rc(2, atb=ATB, atl=ATL, trd=[[2.0, 1]])]))


def ladders(runner):
    ex = runner.ex
    return ex.available_to_back, ex.available_to_lay, ex.traded_volume


class TestRunnerReuse:
    def test_only_atb_of_second_runner_changed(self, stream_file):
        first, second = replay(stream_file, two_runner_start(),
                               mcm(2, change(rc=[rc(2, atb=[[1.95, 4]])])))
        assert second is not first and second.runners is not first.runners
        assert second.runners[0] is first.runners[0]
        new, old = second.runners[1], first.runners[1]
        assert new is not old and new.ex is not old.ex
        assert new.ex.available_to_lay is old.ex.available_to_lay
        assert new.ex.traded_volume is old.ex.traded_volume
        assert new.ex.available_to_back is not old.ex.available_to_back
        assert [p.price for p in new.ex.available_to_back] == [2.0, 1.95, 1.9]
        assert [p.price for p in old.ex.available_to_back] == [2.0, 1.9]  # old one unchanged
        assert second.market_definition is first.market_definition

    def test_ltp_change_keeps_lists(self, stream_file):
        first, second = replay(stream_file, two_runner_start(),
                               mcm(2, change(rc=[rc(1, ltp=2.0)])))
        new, old = second.runners[0], first.runners[0]
        assert new is not old and new.ex is not old.ex
        assert all(a is b for a, b in zip(ladders(new), ladders(old)))
        assert old.last_price_traded is None and new.last_price_traded == 2.0

    def test_unchanged_values_keep_runner(self, stream_file):
        # Re-sent sizes and an equal ltp change nothing; spn always counts as a change.
        books = replay(stream_file, mcm(1, change(rc=[rc(1, ltp=2.0, atb=ATB)])),
                       mcm(2, change(rc=[rc(1, ltp=2.0, atb=ATB)])),
                       mcm(3, change(rc=[rc(1, spn=2.0)])),
                       mcm(4, change(rc=[rc(1, spn=2.0)])))
        runners = [b.runners[0] for b in books]
        assert runners[1] is runners[0]
        assert runners[2] is not runners[1] and runners[3] is not runners[2]
        assert runners[3].ex.available_to_back is runners[0].ex.available_to_back

    def test_starting_price_lists_follow_their_own_ladder(self, stream_file):
        # After the image the recreated ladders climb back to the counters they had before,
        # with other sizes: a snapshot kept across the image would show the old ones.
        books = replay(stream_file, mcm(1, change(rc=[rc(1, spl=[[5.0, 1]], spb=[[6.0, 2]])])),
                       mcm(2, change(rc=[rc(1, spl=[[5.5, 3]])])),
                       mcm(3, change(rc=[rc(1, spb=[[6.0, 0]])])),
                       mcm(4, change(img=True, rc=[rc(1, spl=[[5.0, 9]])])),
                       mcm(5, change(rc=[rc(1, spb=[[6.0, 7]])])))

        def pairs(prices):
            return [(p.price, p.size) for p in prices]

        sps = [book.runners[0].sp for book in books]
        assert [pairs(sp.back_stake_taken) for sp in sps] == [
            [(5, 1)], [(5, 1), (5.5, 3)], [(5, 1), (5.5, 3)], [(5, 9)], [(5, 9)]]
        assert [pairs(sp.lay_liability_taken) for sp in sps] == [
            [(6, 2)], [(6, 2)], [], [], [(6, 7)]]

    def test_img_makes_every_object_new(self, stream_file):
        first, second = replay(stream_file, two_runner_start(),
                               mcm(2, change(img=True, rc=[rc(1, atb=ATB), rc(2)])))
        for new, old in zip(second.runners, first.runners):
            assert new is not old
            assert not any(a is b for a, b in zip(ladders(new), ladders(old)))
        assert [p.price for p in second.runners[0].ex.available_to_back] == [2.0, 1.9]
        assert second.runners[1].ex.available_to_back == []

    def test_shared_reads_after_img(self, stream_file):
        # The interpreter reads these references itself, specialising the reads once hot: each
        # Runner goes on answering with its own objects after an image replaced its state.
        first, second = replay(stream_file, two_runner_start(),
                               mcm(2, change(img=True, rc=[rc(1, atb=[[3.0, 1]]), rc(2)])))
        runners = first.runners + second.runners
        expected = [(r.ex, *ladders(r)) for r in runners]
        for _ in range(50):
            for runner, objects in zip(runners, expected):
                ex = runner.ex
                read = (ex, ex.available_to_back, ex.available_to_lay, ex.traded_volume)
                assert all(a is b for a, b in zip(read, objects))
        assert [p.price for p in runners[2].ex.available_to_back] == [3.0]
        assert [p.price for p in runners[0].ex.available_to_back] == [2.0, 1.9]

    def test_runner_order(self, stream_file):
        (book,) = replay(stream_file, mcm(1, change(rc=[
            rc(5, hc=-1), rc(5), rc(3, hc=2), rc(5, hc=0.004), rc(1, hc=0.5)])))
        assert [(r.selection_id, r.handicap) for r in book.runners] == [
            (1, 0.5), (3, 2.0), (5, -1.0), (5, 0.0)]


class TestDefinitionReuse:
    def test_shared_until_new_definition(self, stream_file):
        books = replay(stream_file, two_runner_start(),
                       mcm(2, change(tv=5)), mcm(3, change(rc=[rc(1, ltp=3)])),
                       mcm(4, change(marketDefinition=definition())))
        md = books[0].market_definition
        assert books[1].market_definition is md and books[2].market_definition is md
        assert books[3].market_definition is not md
        assert books[3].market_definition.runners is not md.runners

    def test_identical_definition_rebuilds_listed_runners(self, stream_file):
        line = mcm(2, change(marketDefinition=definition(runners=[1])))
        first, second = replay(stream_file, two_runner_start(), line)
        assert second.market_definition is not first.market_definition
        old_entries, new_entries = first.market_definition.runners, second.market_definition.runners
        assert not any(a is b for a, b in zip(old_entries, new_entries))
        assert second.runners[0] is not first.runners[0]  # listed: counter advanced
        assert second.runners[1] is first.runners[1]  # not listed
        assert second.runners[0].ex.available_to_back is first.runners[0].ex.available_to_back

    def test_none_before_first_definition(self, stream_file):
        books = replay(stream_file, mcm(1, change(rc=[rc(7, ltp=2)])),
                       mcm(2, change(marketDefinition={"status": "SUSPENDED"})))
        assert books[0].market_definition is None
        assert [r.selection_id for r in books[0].runners] == [7]
        assert books[1].market_definition.status == "SUSPENDED"
        assert books[1].market_definition.runners == []

    def test_null_definition_still_rebuilds(self, stream_file):
        first, second = replay(stream_file, two_runner_start(),
                               mcm(2, change(marketDefinition=None)))
        assert second.market_definition is not first.market_definition
        assert len(second.market_definition.runners) == 2


class TestCallerMutations:
    def test_mutated_shared_list_is_seen_by_later_books(self, stream_file):
        first, second = replay(stream_file, two_runner_start(), mcm(2, change(tv=1)))
        first.runners.append(1)
        first.runners[0].ex.available_to_back.clear()
        assert len(second.runners) == 2
        assert second.runners[0].ex.available_to_back == []
