// The browse service's media-prediction clients: CFsPredictionClient (the worker's client, and the
// router's converter of one databrowse::MediaPredictionConvReq), and CFastBrowsePredictionHandler with
// CFastBrowsePredictionClient (the router's converter of an index server's
// Indexing::PredictionConversionReqList, one client per request). Each object belongs to one worker or
// one router call, on that thread.
#pragma once

#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/prediction/predictionclient.h"

class CBrowseLog;

class CFsPredictionClient : public CPredictionClient {
public:
    CFsPredictionClient();
    ~CFsPredictionClient() override;

    int getRawMedia(unsigned long copyPrecedence, TMediaList* media) override;
    int getDataMedia(unsigned long copyPrecedence, TMediaList* media) override;
    int getIndexMedia(unsigned long copyPrecedence, TMediaList* media) override;

    // Fills `response` with the physical media of the logical media of `request` (and, when asked,
    // of the index archive files of its index database). 1 when filled, 0 on failure.
    int doPhysicalMediaConversion(databrowse::MediaPredictionConvReq& request,
                                  databrowse::MediaPredictionConvResp& response);
    // Adds the index archive files of the backup sets that the archive files of the index (true) or data
    // (false) location list belong to.
    void addIndexLocationInfoForVSADB(bool fromIndexList);
};

class CFastBrowsePredictionClient : public CPredictionClient {
public:
    CFastBrowsePredictionClient(Indexing::PredictionConversionReq& request, unsigned copyPrecedence);
    ~CFastBrowsePredictionClient() override;

    int getRawMedia(unsigned long copyPrecedence, TMediaList* media) override;
    int getDataMedia(unsigned long copyPrecedence, TMediaList* media) override;
    int getIndexMedia(unsigned long copyPrecedence, TMediaList* media) override;

    // Fills `response` with the physical media of the request's logical media. False when the request
    // is incomplete or nothing could be predicted.
    bool GetPhysicalMedia(Indexing::PredictionConversionResp& response);

private:
    Indexing::PredictionConversionReq& m_request;
    uint32_t m_copyPrecedence;
};

class CFastBrowsePredictionHandler {
public:
    explicit CFastBrowsePredictionHandler(Indexing::PredictionConversionReqList& requests);

    // Converts every request of the list; a request that fails has no response. Always 1.
    int doPhysicalMediaConversion();
    Indexing::PredictionConversionRespList& getPredictionResp() { return m_response; }

private:
    Indexing::PredictionConversionRespList m_response;
    Indexing::PredictionConversionReqList& m_requests;
};

// The location of one databrowse::LogicalMedia handed to `client`: index when its flags have 0x2, else
// data when they have 0x8, else ignored. A failure is logged on `log`.
void addLogicalMediaLocation(CPredictionClient& client, const CNMessageBase& logicalMedia, CBrowseLog& log);
